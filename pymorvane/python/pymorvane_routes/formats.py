"""The output formats. Every list format writes, byte for byte, what bgpq4 1.9 writes for the
same prefixes and name (`bgpq4 -4 [flag] [-l NAME]`), empty lists included; JSON lines are this
command's own, one object per AS."""

from __future__ import annotations

import json
from collections.abc import Callable, Sequence

# bgpq4's name for a list when none is given.
DEFAULT_NAME = "NN"


def plain(name: str | None, prefixes: Sequence[str]) -> str:
    """One prefix a line (bgpq4 -F '%n/%l\\n'); nothing for an empty list."""
    return "".join(f"{p}\n" for p in prefixes)


def cisco(name: str | None, prefixes: Sequence[str]) -> str:
    """Cisco IOS prefix-list, bgpq4's default; an empty one denies everything."""
    name = name or DEFAULT_NAME
    lines = [f"no ip prefix-list {name}\n"]
    if prefixes:
        lines += [f"ip prefix-list {name} permit {p}\n" for p in prefixes]
    else:
        lines += [f"! generated prefix-list {name} is empty\n",
                  f"ip prefix-list {name} deny 0.0.0.0/0\n"]
    return "".join(lines)


def juniper(name: str | None, prefixes: Sequence[str]) -> str:
    """Junos policy-options prefix-list (bgpq4 -J)."""
    entries = "".join(f"    {p};\n" for p in prefixes)
    head = f"policy-options {{\nreplace:\n prefix-list {name or DEFAULT_NAME} {{\n"
    return f"{head}{entries} }}\n}}\n"


def bird(name: str | None, prefixes: Sequence[str]) -> str:
    """BIRD prefix set (bgpq4 -b); bgpq4 writes nothing at all for an empty one."""
    if not prefixes:
        return ""
    entries = ",\n".join(f"    {p}" for p in prefixes)
    return f"{name or DEFAULT_NAME} = [\n{entries}\n];\n"


def openbgpd(name: str | None, prefixes: Sequence[str]) -> str:
    """OpenBGPD prefix block (bgpq4 -B): a macro when named, the bare block otherwise."""
    head = ""
    if not prefixes:
        head = (f"# generated prefix-list {name or DEFAULT_NAME} (AS 0) is empty\n"
                '# use -a <asn> to generate "deny from ASN <asn>" instead of this list\n')
    block = "prefix { \n" + "".join(f"\t{p}\n" for p in prefixes) + "\t}"
    return head + (f'{name}="{block}"\n' if name else f"{block}\n")


def _json_string(text: str) -> str:
    return json.dumps(text)[1:-1].replace("/", "\\/")


def bgpq4_json(name: str | None, prefixes: Sequence[str]) -> str:
    """bgpq4's JSON (bgpq4 -j), slashes escaped as it escapes them."""
    entries = ",\n".join(f'    {{ "prefix": "{_json_string(p)}", "exact": true }}'
                         for p in prefixes)
    return f'{{ "{_json_string(name or DEFAULT_NAME)}": [\n{entries}{"\n" if entries else ""}] }}\n'


LISTS: dict[str, Callable[[str | None, Sequence[str]], str]] = {
    "plain": plain,
    "cisco": cisco,
    "juniper": juniper,
    "bird": bird,
    "openbgpd": openbgpd,
    "json": bgpq4_json,
}


def json_line(asn: int, prefixes: Sequence[str] | None = None, error: str | None = None) -> str:
    """One AS for programs: {"asn": N, "prefixes": [...]} or {"asn": N, "error": "..."}."""
    record: dict[str, object] = {"asn": asn}
    if error is None:
        record["prefixes"] = list(prefixes or [])
    else:
        record["error"] = error
    return json.dumps(record) + "\n"
