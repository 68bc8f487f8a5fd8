"""The command line: AS numbers in, lookups, a prefix list (or one per AS) out."""

from __future__ import annotations

import argparse
import asyncio
import os
import re
import sys
from collections.abc import Callable, Iterable
from typing import TextIO

from pymorvane_routes import formats, prefixes
from pymorvane_routes.lookup import Answer, Settings, look_up_all

PROG = "pymorvane-routes"
EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130
# pymorvane.fetch_routes takes a signed 32-bit AS number.
ASN_LIMIT = 2147483647
PER_AS_NAME = "AS{asn}"

_ASN = re.compile(r"(?:AS)?([0-9]+)", re.IGNORECASE)
_NEGATIVE = re.compile(r"(?:AS)?-[0-9]+", re.IGNORECASE)

DESCRIPTION = """\
Look up the IPv4 prefixes that autonomous systems originate in the RADb registry
(whois.radb.net, through pymorvane) and write them as a route filter: one list holding the
union of all the ASes, or with --per-as one list per AS. The list formats are those of bgpq4,
byte for byte; jsonl is one JSON object per AS, for programs.
"""

EPILOG = f"""\
AS numbers: 3333, AS3333 or as3333, from 0 to {ASN_LIMIT}. A FILE holds one a line; blank
lines and everything after a '#' are ignored; '-' is standard input.

prefixes: parsed strictly (a word that is no IPv4 prefix, or has host bits set, is reported
and left out), without repeats and in address order, as bgpq4 writes them. An AS without
routes gives an empty list.

formats (--format) and the bgpq4 option that writes the same:
  plain     one prefix a line          bgpq4 -F '%n/%l\\n'
  cisco     Cisco IOS prefix-list      bgpq4 (its default)
  juniper   Junos prefix-list          bgpq4 -J
  bird      BIRD prefix set            bgpq4 -b
  openbgpd  OpenBGPD prefix block      bgpq4 -B
  json      bgpq4's JSON               bgpq4 -j
  jsonl     {{"asn": N, "prefixes": [...]}} or {{"asn": N, "error": "..."}}, a line per AS

retries: only for connections that could not be opened ("Failed to connect: ...") and those
the server closed before answering (a registry that limits its clients); never for an answer
of the registry. The first retry waits about --backoff seconds, each further one twice as long.

exit status: 0 every AS answered; 1 some lookup failed (a union list is then not written; the
other formats still give the ASes that answered); 2 bad arguments or input; 130 interrupted.

examples:
  {PROG} AS3333
  {PROG} --format cisco -l CUSTOMERS 3333 64496 64497
  {PROG} --per-as --format juniper -l 'AS{{asn}}-IN' -f customers.txt
  {PROG} --aggregate --max-length 24 AS3333 AS64496
  cut -d, -f1 peers.csv | {PROG} --format jsonl -
"""


class InputError(Exception):
    """An AS number that cannot be looked up; the message says where and why."""


def parse_asn(text: str) -> int:
    word = text.strip()
    match = _ASN.fullmatch(word)
    if match is None and not _NEGATIVE.fullmatch(word):
        raise InputError(f"not an AS number: {text!r}")
    if match is None or len(match[1]) > len(str(ASN_LIMIT)) or int(match[1]) > ASN_LIMIT:
        raise InputError(f"AS number out of range: {text!r} "
                         f"(pymorvane looks up AS 0 to AS{ASN_LIMIT})")
    return int(match[1])


def read_asns(stream: Iterable[str], where: str) -> tuple[list[int], list[str]]:
    """The AS numbers of a file, one a line, and the errors found in it."""
    asns, errors = [], []
    for number, line in enumerate(stream, 1):
        word = line.split("#", 1)[0].strip()
        if not word:
            continue
        try:
            asns.append(parse_asn(word))
        except InputError as exc:
            errors.append(f"{where}:{number}: {exc}")
    return asns, errors


def _count(minimum: int, maximum: int | None = None) -> Callable[[str], int]:
    bound = f"from {minimum} to {maximum}" if maximum is not None else f"at least {minimum}"

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            value = minimum - 1
        if value < minimum or (maximum is not None and value > maximum):
            raise argparse.ArgumentTypeError(f"must be a whole number {bound}: {text!r}")
        return value

    return parse


def _seconds(positive: bool) -> Callable[[str], float]:
    bound = "above 0" if positive else "0 or more"

    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            value = -1.0
        if not 0 <= value < float("inf") or (positive and value == 0):
            raise argparse.ArgumentTypeError(f"must be a number of seconds {bound}: {text!r}")
        return value

    return parse


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog=PROG, description=DESCRIPTION, epilog=EPILOG,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("asns", nargs="*", metavar="ASN", help="AS numbers to look up; '-' reads them "
                   "from standard input")
    p.add_argument("-f", "--file", action="append", default=[], metavar="FILE",
                   help="read AS numbers from FILE, one a line ('-': standard input); repeatable")
    p.add_argument("--format", choices=[*formats.LISTS, "jsonl"], default="plain",
                   help="output format (default: plain)")
    p.add_argument("-l", "--name", metavar="NAME",
                   help=f"the list's name (default: {formats.DEFAULT_NAME}, bgpq4's; with "
                   f"--per-as a pattern in which {{asn}} stands for the AS number, default "
                   f"{PER_AS_NAME})")
    p.add_argument("--per-as", action="store_true", help="one list per AS instead of their union")
    p.add_argument("--raw", action="store_true",
                   help="the registry's words as they came, in its order, repeats included")
    p.add_argument("--aggregate", action="store_true",
                   help="collapse to the fewest prefixes covering the same addresses "
                   "(not bgpq4's -A, which writes ranges)")
    p.add_argument("--max-length", type=_count(0, 32), metavar="N",
                   help="leave out prefixes longer than N (bgpq4 -m N)")
    p.add_argument("--max-in-flight", type=_count(1), default=Settings.max_in_flight, metavar="N",
                   help=f"lookups at once, each on its own connection (default: "
                   f"{Settings.max_in_flight})")
    p.add_argument("--timeout", type=_seconds(positive=True), default=Settings.timeout,
                   metavar="SECONDS", help=f"time for one AS, its retries included (default: "
                   f"{Settings.timeout:g})")
    p.add_argument("--retries", type=_count(0), default=Settings.retries, metavar="N",
                   help=f"further attempts after a failed connection (default: {Settings.retries})")
    p.add_argument("--backoff", type=_seconds(positive=False), default=Settings.backoff,
                   metavar="SECONDS", help=f"wait before the first retry (default: "
                   f"{Settings.backoff:g})")
    return p


def gather_asns(args: argparse.Namespace, stdin: TextIO) -> tuple[list[int], list[str]]:
    """Every AS number asked for, each once, in the order given (the arguments, standard input
    where '-' stands among them, then the files); and the input errors."""
    asns: list[int] = []
    errors: list[str] = []
    read: set[str] = set()

    def read_file(path: str) -> None:
        if path in read:
            return
        read.add(path)
        try:
            if path == "-":
                found, bad = read_asns(stdin, "<stdin>")
            else:
                with open(path, encoding="utf-8") as stream:
                    found, bad = read_asns(stream, path)
        except (OSError, UnicodeDecodeError) as exc:
            found, bad = [], [f"cannot read {path}: {exc}"]
        asns.extend(found)
        errors.extend(bad)

    for word in args.asns:
        if word == "-":
            read_file(word)
            continue
        try:
            asns.append(parse_asn(word))
        except InputError as exc:
            errors.append(str(exc))
    for path in args.file:
        read_file(path)
    return list(dict.fromkeys(asns)), errors


class Progress:
    """"N/M ASes looked up" on one line of a terminal's standard error, when more ASes are asked
    for than the terminal has lines."""

    def __init__(self, total: int, stream: TextIO) -> None:
        self.total, self.stream = total, stream
        self.done = self.failed = 0
        self.shown = False
        self.enabled = stream.isatty() and total > self._lines()

    def _lines(self) -> int:
        try:
            lines = os.get_terminal_size(self.stream.fileno()).lines
        except (OSError, ValueError):
            lines = 0
        return lines or 24

    def __call__(self, answer: Answer) -> None:
        self.done += 1
        self.failed += answer.error is not None
        if self.enabled:
            self.stream.write(f"\r{PROG}: {self.done}/{self.total} ASes looked up, "
                              f"{self.failed} failed")
            self.stream.flush()
            self.shown = True

    def end(self) -> None:
        if self.shown:
            self.stream.write("\n")
            self.shown = False


def render(args: argparse.Namespace, answers: list[Answer]) -> tuple[str, list[str]]:
    """The output for `answers`, and what was left out of it, and why."""
    kept: list[tuple[int, list[str]]] = []  # per AS: its words, or its arranged prefixes
    networks = []
    report: list[str] = []
    for answer in answers:
        if answer.words is None:
            continue
        if args.raw:
            kept.append((answer.asn, answer.words))
            continue
        found, problems = prefixes.parse(answer.words)
        report += [f"AS{answer.asn}: {problem}" for problem in problems]
        networks += found
        kept.append((answer.asn, prefixes.arrange(found, max_length=args.max_length,
                                                  aggregate=args.aggregate)))
    if args.format == "jsonl":
        words = dict(kept)
        return "".join(formats.json_line(a.asn, words.get(a.asn), a.error) for a in answers), report
    write = formats.LISTS[args.format]
    if args.per_as:
        pattern = args.name or PER_AS_NAME
        lists = [write(pattern.replace("{asn}", str(asn)), words) for asn, words in kept]
        return "".join(lists), report
    if args.raw:
        union = [word for _, words in kept for word in words]
    else:
        union = prefixes.arrange(networks, max_length=args.max_length, aggregate=args.aggregate)
    return write(args.name, union), report


def _error(message: str) -> None:
    print(f"{PROG}: {message}", file=sys.stderr)


def run(argv: list[str] | None) -> int:
    p = parser()
    args = p.parse_args(argv)
    if args.raw and (args.aggregate or args.max_length is not None):
        p.error("--raw keeps the registry's words as they are: no --aggregate or --max-length")
    if args.per_as and args.format == "plain":
        p.error("plain lists have no name to tell the ASes apart: use --format jsonl, or "
                "another list format, with --per-as")
    if args.per_as and args.name is not None and "{asn}" not in args.name:
        p.error("with --per-as, the name must hold {asn} (e.g. -l 'AS{asn}-IN')")
    asns, errors = gather_asns(args, sys.stdin)
    for message in errors:
        _error(message)
    if errors:
        return EXIT_USAGE
    if not asns:
        p.error("no AS numbers given")
    settings = Settings(max_in_flight=args.max_in_flight, timeout=args.timeout,
                        retries=args.retries, backoff=args.backoff)
    progress = Progress(len(asns), sys.stderr)
    try:
        answers = asyncio.run(look_up_all(asns, settings, progress))
    finally:
        progress.end()
    output, report = render(args, answers)
    failed = [a for a in answers if a.error is not None]
    for line in report:
        _error(line)
    for answer in failed:
        _error(f"AS{answer.asn}: {answer.error}")
    if failed and not args.per_as and args.format != "jsonl":
        _error(f"no list written: {len(failed)} of {len(answers)} lookups failed "
               "(--per-as or --format jsonl give the ASes that answered)")
        return EXIT_FAILED
    sys.stdout.write(output)
    sys.stdout.flush()
    return EXIT_FAILED if failed else EXIT_OK


def main(argv: list[str] | None = None) -> int:
    """The pymorvane-routes command; returns its exit status."""
    try:
        return run(argv)
    except KeyboardInterrupt:
        _error("interrupted")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`| head`): nothing more to say, and nobody to say it to.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILED
