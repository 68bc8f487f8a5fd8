"""Whether this machine lets the tests make private network namespaces (tools/with-registry-netns:
as root, or as an ordinary user through an unprivileged user namespace), in which the production
module's registry name resolves to a loopback emulator."""

import subprocess

from support.paths import TOOLS

NETNS = TOOLS / "with-registry-netns"


def namespaces_unavailable() -> str | None:
    """None when namespaces work here, else why not (the reason a test skips with)."""
    proc = subprocess.run([str(NETNS), "--check"], capture_output=True, text=True)
    if proc.returncode == 0:
        return None
    return proc.stderr.strip().removeprefix("with-registry-netns: ") or f"exit status {proc.returncode}"
