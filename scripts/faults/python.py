# Faults in the Python binding's own code, caught by its tests (ctest Python.*).
FAULTS = [
    dict(name="removed log handler still gets queued lines",
         file="bindings/python/src/Events.cpp",
         old="        Py_DECREF(std::exchange(old->callback, nullptr));",
         new="        Py_INCREF(old->callback);",
         ctest="Python.test_play$"),
]
