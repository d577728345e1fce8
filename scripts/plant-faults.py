#!/usr/bin/env python3
"""Plants deliberate faults in the library one at a time and checks that the
test suite catches each one.

    scripts/plant-faults.py [--build DIR] [--list] [name-substring ...]

Every file in scripts/faults/ defines FAULTS, a list of dicts:
    name  what the fault does, in a few words
    file  path of the source file, from the repository root
    old   text that occurs exactly once in that file
    new   what replaces it (the fault)
    test  GoogleTest filter of the tests that must fail with the fault in place
or, for a behaviour owned by the C interface or a binding's own code,
    ctest regular expression of the ctest tests that must fail (the C suites,
          Python.*, CSharp.*); the whole build is then rebuilt, not only
          the GoogleTest binary

For each fault the script swaps the text, rebuilds the test binary, runs the
filtered tests and puts the file back, whatever happens. A fault counts as
caught when the filtered tests fail (or crash, or time out). The build
directory is left rebuilt from the restored sources.
"""
import argparse
import glob
import os
import runpy
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def load_faults():
    faults = []
    for path in sorted(glob.glob(os.path.join(ROOT, "scripts", "faults", "*.py"))):
        area = os.path.splitext(os.path.basename(path))[0]
        for fault in runpy.run_path(path)["FAULTS"]:
            faults.append(dict(fault, area=area))
    return faults


def build(build_dir, everything=False):
    target = [] if everything else ["--target", "quillet_tests"]
    result = subprocess.run(["cmake", "--build", build_dir, "-j2"] + target,
                            cwd=ROOT, capture_output=True, text=True)
    return result.returncode == 0, result.stdout[-2000:] + result.stderr[-2000:]


def run_tests(build_dir, test_filter, timeout):
    workdir = os.path.join(build_dir, "tests", "work")
    os.makedirs(workdir, exist_ok=True)
    binary = os.path.join(os.path.abspath(build_dir), "tests", "quillet_tests")
    try:
        result = subprocess.run([binary, "--gtest_filter=" + test_filter], cwd=workdir,
                                capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return "caught (timed out)"
    if result.returncode == 0:
        ran = [l for l in result.stdout.splitlines() if l.startswith("[  PASSED  ]")]
        return "MISSED" if ran and "0 tests" not in ran[0] else "MISSED (no test matched)"
    return "caught"


def run_ctest(build_dir, regex, timeout, env=None):
    try:
        result = subprocess.run(["ctest", "-R", regex, "--timeout", str(timeout)], cwd=build_dir,
                                capture_output=True, text=True, timeout=timeout * 2,
                                env=dict(os.environ, **(env or {})))
    except subprocess.TimeoutExpired:
        return "caught (timed out)"
    if "No tests were found" in result.stdout:
        return "MISSED (no test matched)"
    return "MISSED" if result.returncode == 0 else "caught"


def plant(fault, build_dir, timeout):
    path = os.path.join(ROOT, fault["file"])
    with open(path) as f:
        original = f.read()
    if original.count(fault["old"]) != 1:
        return "BROKEN (text found %d times)" % original.count(fault["old"])
    try:
        with open(path, "w") as f:
            f.write(original.replace(fault["old"], fault["new"]))
        built, log = build(build_dir, "ctest" in fault)
        if not built:
            sys.stderr.write(log)
            return "BROKEN (does not build)"
        if "ctest" in fault:
            return run_ctest(build_dir, fault["ctest"], timeout, fault.get("env"))
        return run_tests(build_dir, fault["test"], timeout)
    finally:
        with open(path, "w") as f:
            f.write(original)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--timeout", type=int, default=600)
    parser.add_argument("names", nargs="*")
    args = parser.parse_args()

    faults = [f for f in load_faults() if not args.names or any(n in f["name"] for n in args.names)]
    if args.list:
        for f in faults:
            print("%-10s %-45s %s" % (f["area"], f["name"], f.get("test") or "ctest " + f["ctest"]))
        return 0
    missed = 0
    for f in faults:
        start = time.time()
        verdict = plant(f, args.build, args.timeout)
        missed += not verdict.startswith("caught")
        print("%-10s %-45s %-28s %5.0fs  %s" % (f["area"], f["name"], verdict, time.time() - start,
                                                 f.get("test") or "ctest " + f["ctest"]), flush=True)
    build(args.build, any("ctest" in f for f in faults))
    print("%d faults, %d caught, %d not" % (len(faults), len(faults) - missed, missed))
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
