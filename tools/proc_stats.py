"""What a process can read about itself from /proc: the runtime's threads and memory figures.
Shared by the soak, the tests and the scenarios the tests run in fresh interpreters."""

import os


def runtime_threads() -> int:
    """Threads of this process named "morvane-worker" (the runtime's workers and blocking threads)."""
    n = 0
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                n += f.read().strip() == "morvane-worker"
        except FileNotFoundError:  # the thread ended while we looked
            pass
    return n


def status_kib(field: str) -> int:
    """A kB figure of /proc/self/status (e.g. "VmRSS"), or -1 when the field is missing."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return -1


def rss_kib() -> int:
    return status_kib("VmRSS")
