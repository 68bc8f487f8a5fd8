"""Where the checkout's parts are."""

import pathlib

ROOT = pathlib.Path(__file__).resolve().parents[2]
TESTS = ROOT / "tests"
TOOLS = ROOT / "tools"
EMULATOR = TOOLS / "irr_emulator.py"
