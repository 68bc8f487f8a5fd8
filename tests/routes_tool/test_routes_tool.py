"""pymorvane-routes against a scripted registry: what it asks for, what it makes of the answers,
how it fails, retries, bounds its connections and stops. The list formats themselves are
compared with bgpq4's output in tests/interop."""

import json

import pytest

NO_LIST = "pymorvane-routes: no list written: 1 of 3 lookups failed"
OUT_OF_RANGE = "(pymorvane looks up AS 0 to AS2147483647)"


def lines(run):
    return [json.loads(line) for line in run.out.splitlines()]


def test_numbers_from_arguments_files_and_standard_input(routes_tool, tmp_path):
    (tmp_path / "more.txt").write_text("64499\n")
    run = routes_tool("3333", "AS64496", "as64497", "-", "--file", "more.txt", "--format", "jsonl",
                      stdin="# customers\n\n64498   # trailing comment\nAS3333\n")
    assert [line["asn"] for line in lines(run)] == [3333, 64496, 64497, 64498, 64499]
    assert run.asked == dict.fromkeys([3333, 64496, 64497, 64498, 64499], 1)
    assert (run.status, run.err) == (0, "")


@pytest.mark.parametrize("args, message", [
    (["2147483648"], f"AS number out of range: '2147483648' {OUT_OF_RANGE}"),
    (["-1"], f"AS number out of range: '-1' {OUT_OF_RANGE}"),
    (["AS3.3"], "not an AS number: 'AS3.3'"),
    (["-f", "bad.txt"], f"bad.txt:2: AS number out of range: 'AS4200000001' {OUT_OF_RANGE}"),
    (["--max-in-flight", "0", "1"], "must be a whole number at least 1: '0'"),
    (["--raw", "--aggregate", "1"], "no --aggregate or --max-length"),
    (["--per-as", "-l", "CUSTOMERS", "--format", "cisco", "1"], "the name must hold {asn}"),
    ([], "no AS numbers given"),
])
def test_bad_arguments_are_refused_before_any_lookup(routes_tool, tmp_path, args, message):
    (tmp_path / "bad.txt").write_text("3333\nAS4200000001\n")
    run = routes_tool(*args)
    assert (run.status, run.out, run.asked) == (2, "", {})
    assert message in run.err


def test_prefixes_parsed_strictly_sorted_and_deduplicated(routes_tool):
    words = ("193.0.0.0/21 84.205.64.0/24 1.2.3.5/24 84.205.64.0/24 junk 2001:db8::/32 "
             "84.205.65.0/24")
    more = "193.0.0.0/21 193.0.8.0/21 10.0.0.0/8"
    answers = {"64501": {"words": words}, "64502": {"words": more}}
    run = routes_tool("64501", "64502", answers=answers)
    assert run.out == "10.0.0.0/8\n84.205.64.0/24\n84.205.65.0/24\n193.0.0.0/21\n193.0.8.0/21\n"
    assert run.err.splitlines() == [
        "pymorvane-routes: AS64501: host bits set, left out: 1.2.3.5/24",
        "pymorvane-routes: AS64501: not an IPv4 prefix, left out: 'junk'",
        "pymorvane-routes: AS64501: not an IPv4 prefix, left out: '2001:db8::/32'"]
    assert run.status == 0
    raw = routes_tool("64501", "64502", "--raw", answers=answers)
    assert raw.out.split() == words.split() + more.split()
    # The length limit applies before the aggregation: the /24s are gone, the /21s collapse.
    short = routes_tool("64501", "64502", "--aggregate", "--max-length", "21", answers=answers)
    assert short.out == "10.0.0.0/8\n193.0.0.0/20\n"


def test_one_list_per_as(routes_tool):
    run = routes_tool("--per-as", "--format", "juniper", "64496", "64511", "64499")
    names = [line.split()[1] for line in run.out.splitlines() if "prefix-list" in line]
    assert names == ["AS64496", "AS64511", "AS64499"]
    assert " prefix-list AS64511 {\n }\n" in run.out  # no routes: an empty list, no error
    named = routes_tool("--per-as", "--format", "cisco", "-l", "C-{asn}-IN", "64510")
    assert named.out.splitlines() == [
        "no ip prefix-list C-64510-IN", "ip prefix-list C-64510-IN permit 203.0.113.128/25"]


def test_each_failure_is_reported_for_its_as_and_the_others_complete(routes_tool):
    answers = {"64501": {"reply": "F Invalid AS number\n"}, "64502": {"silent": 1}}
    asns = ["64501", "64502", "64496", "64511"]
    run = routes_tool("--format", "jsonl", "--timeout", "1", *asns, answers=answers)
    assert lines(run) == [
        {"asn": 64501, "error": "Failed to fetch routes: invalid digit found in string"},
        {"asn": 64502, "error": "no answer within 1 s"},
        {"asn": 64496, "prefixes": ["192.0.2.0/24"]},
        {"asn": 64511, "prefixes": []}]
    assert run.status == 1
    assert "AS64501: Failed to fetch routes: invalid digit found in string\n" in run.err
    # A union without some AS would be a wrong filter: none is written.
    union = routes_tool("--format", "cisco", "64501", "64496", "64511", answers=answers)
    assert (union.status, union.out) == (1, "")
    assert NO_LIST in union.err
    per_as = routes_tool("--per-as", "--format", "cisco", "64501", "64496", answers=answers)
    assert (per_as.status, per_as.out.splitlines()[0]) == (1, "no ip prefix-list AS64496")


def test_an_internal_fault_is_reported_for_every_as(routes_tool):
    run = routes_tool("--format", "jsonl", "1", "2", env={"MORVANE_WORKER_THREADS": "0"})
    assert run.status == 1
    assert [line["asn"] for line in lines(run)] == [1, 2]
    assert lines(run)[0]["error"] == 'PanicException: "MORVANE_WORKER_THREADS" cannot be set to 0'
    assert lines(run)[1]["error"].startswith("PanicException: ")


def test_connection_failures_are_retried_and_registry_errors_not(routes_tool):
    answers = {"64501": {"close_first": 2}, "64502": {"close_first": 9},
               "64503": {"reply": "F Invalid AS number\n"}}
    run = routes_tool("--format", "jsonl", "--retries", "2", "--backoff", "0.01",
                      "64501", "64502", "64503", answers=answers)
    assert run.asked == {64501: 3, 64502: 3, 64503: 1}
    assert [line.get("error") for line in lines(run)] == [
        None, "Failed to fetch routes: connection closed before a reply header arrived"
        " (after 3 attempts)", "Failed to fetch routes: invalid digit found in string"]
    refused = routes_tool("--format", "jsonl", "--retries", "1", "--backoff", "0", "1",
                          no_registry=1)
    assert lines(refused) == [{"asn": 1, "error": "Failed to connect: Connection refused "
                                                  "(os error 111) (after 2 attempts)"}]


@pytest.mark.parametrize("bound", [None, 3])
def test_lookups_in_flight_never_exceed_the_bound(routes_tool, bound):
    bound_args = ["--max-in-flight", str(bound)] if bound else []
    in_flight = bound or 8  # the default
    asns = [str(64496 + i) for i in range(3 * in_flight + 1)]
    run = routes_tool("--format", "jsonl", *bound_args, *asns, hold=[in_flight, len(asns)])
    assert run.peak == in_flight
    assert (run.status, len(lines(run))) == (0, len(asns))


def test_interrupt_stops_cleanly(routes_tool):
    run = routes_tool("--max-in-flight", "2", "1", "2", "3", hold=[3, 3], interrupt=2)
    assert (run.status, run.out, run.err) == (130, "", "pymorvane-routes: interrupted\n")


def test_progress_on_a_terminal_only_beyond_a_screenful(routes_tool):
    asns = [str(64496 + i) for i in range(6)]
    assert "6/6 ASes looked up, 0 failed" in routes_tool(*asns, tty_rows=5).screen
    assert routes_tool(*asns, tty_rows=6).screen == ""
