"""pymorvane-routes and Debian's bgpq4 against the same IRRd: every format that bgpq4 also writes
comes out byte for byte the same, for single ASes, a union of several, an empty list, with and
without a name, and with a length limit."""

import os
import sys

import pytest

import dataset  # tools/interop, put on sys.path by conftest.py

pytestmark = pytest.mark.timeout(300)

# bgpq4 reads the two characters \n in its -F format as a line feed, as a shell user types it;
# a line feed itself it would write twice at the end.
FORMATS = {"plain": ["-F", r"%n/%l\n"], "cisco": [], "juniper": ["-J"], "bird": ["-b"],
           "openbgpd": ["-B"], "json": ["-j"]}
# Overlapping prefixes in an order that is not the text's (84.205 after 193.0 and 213.136), a
# prefix registered in both sources, a one-prefix AS, and an AS with route6 objects only.
ASNS = [f"AS{asn}" for asn in (dataset.REALISTIC_AS, dataset.DOC_AS, dataset.SINGLE_AS,
                                dataset.ROUTE6_ONLY_AS)]
EMPTY = [f"AS{dataset.ROUTE6_ONLY_AS}", "AS0"]


def cases(fmt):
    """(the tool's arguments, the bgpq4 runs whose outputs, one after the other, it must equal)"""
    found = [
        (["-l", "UNION", *ASNS], [["-l", "UNION", *ASNS]]),
        (ASNS, [ASNS]),  # bgpq4's default name, or none
        (["-l", "EMPTY", *EMPTY], [["-l", "EMPTY", *EMPTY]]),
        (["-l", "SHORT", "--max-length", "22", ASNS[0]], [["-l", "SHORT", "-m", "22", ASNS[0]]]),
    ]
    if fmt != "plain":
        found.append((["--per-as", *ASNS], [["-l", asn, asn] for asn in ASNS]))
    return [(["--format", fmt, *tool], [[*FORMATS[fmt], *run] for run in runs])
            for tool, runs in found]


@pytest.mark.parametrize("fmt", FORMATS)
def test_the_same_bytes_as_bgpq4(registry, module_dir, fmt):
    env = {**os.environ, "PYTHONPATH": str(module_dir)}
    for tool_args, bgpq4_runs in cases(fmt):
        expected = b""
        for args in bgpq4_runs:
            found = registry.run(["bgpq4", "-h", "whois.radb.net", "-S", ",".join(dataset.SOURCES),
                                  "-p", "-4", *args], text=False, timeout=120)
            assert found.returncode == 0, found.stderr
            expected += found.stdout
        tool = registry.run([sys.executable, "-m", "pymorvane_routes", *tool_args], env=env,
                            text=False, timeout=120)
        assert (tool.returncode, tool.stderr) == (0, b""), tool_args
        assert tool.stdout == expected, tool_args
        assert expected.strip() or fmt in ("plain", "bird"), "bgpq4 wrote nothing"
