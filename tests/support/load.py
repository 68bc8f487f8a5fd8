"""Sizes of repeated or heavy scenarios: the regular suite's, or more on request
(make hardening-full)."""

import os


def runs(default: int) -> int:
    """How often a repeated scenario runs: `default` in the regular suite, more on request."""
    value = os.environ.get("MORVANE_HARDENING_RUNS")
    return int(value) if value else default


def scale(default: int, full: int) -> int:
    """A load figure: `default` in the regular suite, `full` with MORVANE_HARDENING_FULL=1."""
    return full if os.environ.get("MORVANE_HARDENING_FULL") == "1" else default
