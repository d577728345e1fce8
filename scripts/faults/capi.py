# Faults in the C interface, caught by the C suites (ctest CApi.*).
FAULTS = [
    dict(name="full event queue drops the newest event",
         file="src/capi/HandleSignal.cpp",
         old="        while (_events.size() >= _capacity) {\n            _events.pop_front();",
         new="        while (_events.size() >= _capacity) {\n            _events.pop_back();",
         ctest="CApi.Record$"),
]
