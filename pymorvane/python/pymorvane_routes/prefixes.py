"""From the registry's words to a prefix list: strict parsing, the length limit, and the order
(sorted and without repeats, or collapsed to the smallest covering set)."""

from __future__ import annotations

import ipaddress
import re
from collections.abc import Iterable

# What IRRd writes for a route: a dotted quad, a slash, a length. ipaddress alone would also take
# a bare address, a netmask or a hostmask after the slash.
_SHAPE = re.compile(r"[0-9]{1,3}(?:\.[0-9]{1,3}){3}/[0-9]{1,2}")


def parse(words: Iterable[str]) -> tuple[list[ipaddress.IPv4Network], list[str]]:
    """The IPv4 prefixes among `words`, and for every other word why it was left out."""
    networks: list[ipaddress.IPv4Network] = []
    problems: list[str] = []
    for word in words:
        if not _SHAPE.fullmatch(word):
            problems.append(f"not an IPv4 prefix, left out: {word!r}")
            continue
        try:
            networks.append(ipaddress.IPv4Network(word))
        except ValueError:
            try:
                ipaddress.IPv4Network(word, strict=False)
            except ValueError:
                problems.append(f"not an IPv4 prefix, left out: {word!r}")
            else:
                problems.append(f"host bits set, left out: {word}")
    return networks, problems


def arrange(networks: Iterable[ipaddress.IPv4Network], *, max_length: int | None = None,
            aggregate: bool = False) -> list[str]:
    """`networks` no longer than `max_length`, without repeats, in address order and, for one
    address, shorter first (bgpq4's order); with `aggregate`, the fewest prefixes that cover the
    same addresses."""
    kept = {n for n in networks if max_length is None or n.prefixlen <= max_length}
    ordered = ipaddress.collapse_addresses(kept) if aggregate else kept
    return [str(n) for n in sorted(ordered)]
