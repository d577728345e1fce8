# Faults in the C interface, caught by its own suites (quillet_c_tests).
FAULTS = [
    dict(name="a kept picture survives a seek",
         file="src/capi/CApiPlayer.cpp",
         old="        p.DropHeld();\n        p.Facade().Seek(seconds);",
         new="        p.Facade().Seek(seconds);",
         binary="quillet_c_tests",
         test="KeptPicture"),
    dict(name="an open races the close the end scheduled",
         file="src/capi/CApiPlayer.cpp",
         old="        if (!p.InsideCallback())\n            p.Facade().CloseSource();",
         new="",
         binary="quillet_c_tests",
         test="Reopen"),
]
