"""The resident memory of this process, for the benchmarks that report memory per camera."""


def resident_mb():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return 0.0
