"""Whether this machine lets the tests make private network namespaces (tools/with-registry-netns),
in which the production module's registry name resolves to a loopback emulator."""

import os
import shutil
import subprocess

from support.paths import TOOLS

NETNS = TOOLS / "with-registry-netns"


def namespaces_unavailable() -> str | None:
    """None when namespaces work here, else why not (the reason a test skips with)."""
    if os.geteuid() != 0:
        return "needs root to create a network namespace"
    if not shutil.which("unshare") or not shutil.which("ip"):
        return "needs unshare (util-linux) and ip (iproute2)"
    if subprocess.run(["unshare", "--net", "--mount", "true"], capture_output=True).returncode:
        return "network namespaces are not available here"
    return None
