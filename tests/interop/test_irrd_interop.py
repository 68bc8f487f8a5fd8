"""The production module against a real IRRd 4.5 serving the generated dataset, on the standard
loop and on uvloop (the `outcome` fixture runs tests/interop/scenario.py once per loop)."""

import pytest

import dataset  # tools/interop, put on sys.path by conftest.py

# The first case also starts IRRd and runs the scenario: room for a busy machine.
pytestmark = pytest.mark.timeout(300)

FETCH_FAILED = "Failed to fetch routes: "
NO_DATA = FETCH_FAILED + "cannot parse integer from empty string"


def test_every_loaded_as_gives_exactly_its_prefixes(outcome):
    expected = dataset.expected_routes()
    assert outcome["routes"].keys() == expected.keys() - {dataset.WIDE_AS}
    for asn, routes in outcome["routes"].items():
        # IRRd's order is arbitrary; a prefix registered in both sources comes once.
        assert sorted(routes) == sorted(expected[asn]), f"AS{asn}"
    assert outcome["huge_sizes"] == [dataset.HUGE_COUNT] * len(outcome["huge_sizes"])


def test_lookups_without_routes_and_refused_numbers(outcome):
    failures = outcome["failures"]
    # IRRd answers "D" for an origin with route6 objects only, and for AS 0.
    assert failures["route6_only"] == ["ConnectionError", NO_DATA]
    assert failures["zero"] == ["ConnectionError", NO_DATA]
    # "F Invalid AS number AS-1: ..." is an error answer with no length in it.
    assert failures["negative"] == [
        "ConnectionError", FETCH_FAILED + "invalid digit found in string"]
    # The registry holds routes for this 32-bit number; the signed 32-bit argument refuses it.
    assert failures["wide"] == ["OverflowError", "out of range integral type conversion attempted"]


def test_more_lookups_at_once_than_irrd_has_workers(outcome):
    expected = dataset.expected_routes()
    concurrent = outcome["concurrent"]
    for asn, routes in zip(concurrent["asns"], concurrent["results"], strict=True):
        assert sorted(routes) == sorted(expected[asn]), f"AS{asn}"


def test_cancelling_a_queued_lookup_closes_its_connection(outcome):
    queued = outcome["cancel_queued"]
    assert queued == {"idle_before": True, "queued": True, "closed": True,
                      "held_throughout": True}


def test_lookups_after_a_100k_lookup_cancelled_mid_flight(outcome):
    cancel = outcome["cancel"]
    assert cancel["attempts"][-1] == "cancelled in flight", cancel["attempts"]
    assert cancel["after"] == ["192.0.2.128/25"]
    assert cancel["huge_after_size"] == cancel["huge_after_distinct"] == dataset.HUGE_COUNT


def test_same_sets_as_bgpq4(outcome, bgpq4_routes):
    assert bgpq4_routes == dataset.expected_routes()
    for asn, routes in outcome["routes"].items():
        assert set(routes) == bgpq4_routes[asn], f"AS{asn}"
