# Faults in the Python binding's own code, caught by its tests (ctest Python.*).
FAULTS = [
    dict(name="removed log handler still gets queued lines",
         file="bindings/python/src/Events.cpp",
         old="        Py_DECREF(std::exchange(old->callback, nullptr));",
         new="        Py_INCREF(old->callback);",
         ctest="Python.test_play$"),
    dict(name="messages show the URL with its password",
         file="bindings/python/src/Player.cpp",
         old="_source = UrlForMessages(source);",
         new="_source = source;",
         ctest="Python.test_play$"),
    dict(name="a refused login raised as a plain OpenError",
         file="bindings/python/src/Errors.cpp",
         old=': reason == "authorization failed" || reason == "permission denied" ? types.accessDenied',
         new=': reason == "authorization failed" || reason == "permission denied" ? types.open',
         ctest="Python.test_camera$"),
]
