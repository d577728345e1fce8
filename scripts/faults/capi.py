# Faults in the C interface's handles and callbacks.
FAULTS = [
    dict(name="a handle is its object's address again",
         file="src/capi/HandleRegistry.h",
         old="const uintptr_t value = NextHandleValue();",
         new="const uintptr_t value = reinterpret_cast<uintptr_t>(object.get());",
         suite="StaleHandles"),
    dict(name="a read's events reach the callback under its lock",
         file="src/capi/Player.cpp",
         old="    if (t_collecting.player == this) {",
         new="    if (t_collecting.player == this && false) {",
         suite="Handlers", env={"QUILLET_HANDLER_ROWS": "end of stream, read picture on the same"}),
    dict(name="a read inside the end's callback is not told the end",
         file="src/capi/Player.cpp",
         old="    if (_endHandedOut > 0)\n",
         new="    if (_endHandedOut > 1000)\n",
         suite="Handlers", env={"QUILLET_HANDLER_ROWS": "end of stream, read picture on the same"}),
]
