# Faults in the C interface, caught by the C suites (ctest CApi.*).
FAULTS = [
    dict(name="full event queue drops the newest event",
         file="src/capi/HandleSignal.cpp",
         old="        while (_events.size() >= _capacity) {\n            _events.pop_front();",
         new="        while (_events.size() >= _capacity) {\n            _events.pop_back();",
         ctest="CApi.Record$"),
    dict(name="a kept picture survives a seek",
         file="src/capi/CApiPlayer.cpp",
         old="        p.DropHeld();\n        p.Facade().Seek(seconds);",
         new="        p.Facade().Seek(seconds);",
         ctest="CApi.KeptPicture$"),
    dict(name="an open races the close the end scheduled",
         file="src/capi/CApiPlayer.cpp",
         old="        if (!p.InsideCallback())\n            p.Facade().CloseSource();",
         new="",
         ctest="CApi.Reopen$"),
]
