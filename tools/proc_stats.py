"""What a process can read about itself from /proc: the runtime's threads, memory figures,
sockets and loopback connections. The one /proc reader of the tests, the soak and the
benchmark clients (tools/ is on their path; tests/ is not put on the path of a benchmark
client, whose tests/pymorvane/ would pass for the module when it is missing)."""

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


def _status_number(field: str) -> int:
    # Plain os calls: text-mode open() leaves a few blocks behind in the interpreter's own caches
    # now and then, which would blur a reference count taken around the read.
    fd = os.open("/proc/self/status", os.O_RDONLY)
    try:
        status = os.read(fd, 1 << 16)
    finally:
        os.close(fd)
    for line in status.split(b"\n"):
        if line.startswith(field.encode() + b":"):
            return int(line.split()[1])
    return -1


def status_kib(field: str) -> int:
    """A kB figure of /proc/self/status (e.g. "VmRSS"), or -1 when the field is missing."""
    return _status_number(field)


def rss_kib() -> int:
    return status_kib("VmRSS")


def reset_peak_rss() -> None:
    """Starts the peak resident set size (VmHWM) afresh, from the current size."""
    fd = os.open("/proc/self/clear_refs", os.O_WRONLY)
    try:
        os.write(fd, b"5")
    finally:
        os.close(fd)


def peak_rss_kib() -> int:
    """The largest resident set size since the process started or reset_peak_rss()."""
    return status_kib("VmHWM")


def process_threads() -> int:
    """All threads of this process."""
    return _status_number("Threads")


def open_sockets() -> int:
    """Descriptors of this process that are sockets."""
    n = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            n += os.readlink(f"/proc/self/fd/{fd}").startswith("socket:")
        except OSError:
            pass
    return n


def server_connections(port: int) -> int:
    """Established TCP connections whose local end is `port` on this host."""
    n = 0
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            n += fields[3] == "01" and int(fields[1].rsplit(":", 1)[1], 16) == port
    return n
