#!/usr/bin/env python3
"""Reports how large the tests are against the code they test, per language
and overall, counting non-blank lines of the files git tracks.

    scripts/test-ratio.py [--max RATIO]

A language here is the interface that owns a behaviour:
    C++     src/ (but the C interface), the C++ headers in include/, tools/;
            tested by tests/ (but tests/capi/)
    C       include/quillet/quillet.h and src/capi/; tested by tests/capi/
    Python  bindings/python/ (the module's C++ and the package); tested by
            bindings/python/tests/
    C#      bindings/csharp/Quillet.FFWrapperCLI/; tested by
            bindings/csharp/tests/
Benchmarks, examples, fuzz entry points, scripts and build files count on
neither side. With --max, exits 1 when the overall ratio is above RATIO.
"""
import argparse
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE = (".h", ".hpp", ".cpp", ".c", ".py", ".pyi", ".cs", ".cs.in")


def language(path):
    """(language, "code" | "test") for a tracked file, or None."""
    if not path.endswith(SOURCE):
        return None
    if path.startswith("bindings/python/"):
        return ("Python", "test" if path.startswith("bindings/python/tests/") else "code")
    if path.startswith("bindings/csharp/tests/"):
        return ("C#", "test")
    if path.startswith("bindings/csharp/Quillet.FFWrapperCLI/"):
        return ("C#", "code")
    if path.startswith("tests/capi/"):
        return ("C", "test")
    if path == "include/quillet/quillet.h" or path.startswith("src/capi/"):
        return ("C", "code")
    if path.startswith("tests/"):
        return ("C++", "test")
    if path.startswith(("src/", "include/", "tools/")):
        return ("C++", "code")
    return None


def lines(path):
    with open(os.path.join(ROOT, path), errors="replace") as f:
        return sum(1 for line in f if line.strip())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--max", type=float)
    args = parser.parse_args()
    files = subprocess.run(["git", "ls-files"], cwd=ROOT, capture_output=True, text=True, check=True).stdout.split()
    counts = {}
    for path in files:
        kind = language(path)
        if kind and os.path.exists(os.path.join(ROOT, path)):
            counts[kind] = counts.get(kind, 0) + lines(path)
    total_code = total_test = 0
    print("%-8s %8s %8s %7s" % ("", "code", "tests", "ratio"))
    for name in ("C++", "C", "Python", "C#"):
        code, test = counts.get((name, "code"), 0), counts.get((name, "test"), 0)
        total_code += code
        total_test += test
        print("%-8s %8d %8d %7.2f" % (name, code, test, test / code if code else 0.0))
    overall = total_test / total_code
    print("%-8s %8d %8d %7.2f" % ("overall", total_code, total_test, overall))
    return 1 if args.max is not None and overall > args.max else 0


if __name__ == "__main__":
    sys.exit(main())
