"""Shared pytest set-up: puts the freshly built extension modules on sys.path."""

import os
import pathlib
import resource
import sys

import pytest

BUILD_DIR = pathlib.Path(
    os.environ.get("MORVANE_BUILD_DIR", pathlib.Path(__file__).resolve().parent.parent / "build" / "default")
)
MODULE_DIR = BUILD_DIR / "python"

# The hostile-server tests hold thousands of connections at once, and a user's login often has a
# soft descriptor limit of 1024 under a far higher hard one. Raised here, for this process and the
# emulators it starts; a test that needs more than the hard limit allows fails with EMFILE.
_soft, _hard = resource.getrlimit(resource.RLIMIT_NOFILE)
_wanted = 65536 if _hard == resource.RLIM_INFINITY else min(_hard, 65536)
if _soft != resource.RLIM_INFINITY and _soft < _wanted:
    resource.setrlimit(resource.RLIMIT_NOFILE, (_wanted, _hard))
if str(MODULE_DIR) not in sys.path:
    sys.path.insert(0, str(MODULE_DIR))


@pytest.fixture(scope="session")
def build_dir() -> pathlib.Path:
    return BUILD_DIR


@pytest.fixture(scope="session")
def module_dir() -> pathlib.Path:
    """Where the built extension modules are (also on sys.path of this process)."""
    return MODULE_DIR
