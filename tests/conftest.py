"""Shared pytest set-up: puts the freshly built extension modules on sys.path."""

import os
import pathlib
import sys

import pytest

BUILD_DIR = pathlib.Path(
    os.environ.get("MORVANE_BUILD_DIR", pathlib.Path(__file__).resolve().parent.parent / "build" / "default")
)
MODULE_DIR = BUILD_DIR / "python"
if str(MODULE_DIR) not in sys.path:
    sys.path.insert(0, str(MODULE_DIR))


@pytest.fixture(scope="session")
def build_dir() -> pathlib.Path:
    return BUILD_DIR


@pytest.fixture(scope="session")
def module_dir() -> pathlib.Path:
    """Where the built extension modules are (also on sys.path of this process)."""
    return MODULE_DIR
