"""Lookups of many ASes: a bounded number in flight, a time limit each, retries of failed
connections with back-off. Every AS ends in an Answer; one failure never stops the others."""

from __future__ import annotations

import asyncio
import dataclasses
import random
from collections.abc import Callable, Sequence

import pymorvane

# The registry's "D" answer: it has no routes for the AS. An empty set, not a failure.
NO_ROUTES = "Failed to fetch routes: cannot parse integer from empty string"
# Failures worth another attempt: the connection could not be opened (refused, unreachable, the
# name did not resolve), or the server closed it without a word, as a public registry does to a
# client it limits. An answer of the registry (an "F" error, a malformed reply) or a connection
# lost in the middle of a reply would only come again, and is never retried.
RETRIED = (
    "Failed to connect: ",
    "Failed to fetch routes: connection closed before a reply header arrived",
)
# The longest wait between two attempts, before its random spread.
LONGEST_BACKOFF_S = 30.0


@dataclasses.dataclass(frozen=True)
class Settings:
    max_in_flight: int = 8
    timeout: float = 30.0  # seconds for one AS, its retries and their back-off included
    retries: int = 2
    backoff: float = 1.0  # seconds before the first retry; doubled before each further one


@dataclasses.dataclass(frozen=True)
class Answer:
    asn: int
    words: list[str] | None = None  # the registry's words; None when the lookup failed
    error: str | None = None


def backoff_delay(settings: Settings, retry: int) -> float:
    """The wait before retry number `retry` (0 for the first): the back-off doubled each time,
    at most LONGEST_BACKOFF_S, spread at random between half and one and a half of that, so that
    lookups refused together do not come back together."""
    return min(settings.backoff * 2.0**retry, LONGEST_BACKOFF_S) * random.uniform(0.5, 1.5)


def is_panic(exc: BaseException) -> bool:
    """pymorvane.PanicException: an internal fault of the call, derived from BaseException."""
    return type(exc).__module__ == "pymorvane" and type(exc).__qualname__ == "PanicException"


async def look_up(asn: int, settings: Settings) -> Answer:
    attempts = 1
    try:
        async with asyncio.timeout(settings.timeout):
            while True:
                try:
                    return Answer(asn, words=await pymorvane.fetch_routes(asn))
                except ConnectionError as exc:
                    text = str(exc)
                    if text == NO_ROUTES:
                        return Answer(asn, words=[])
                    if attempts > settings.retries or not text.startswith(RETRIED):
                        if attempts > 1:
                            text += f" (after {attempts} attempts)"
                        return Answer(asn, error=text)
                await asyncio.sleep(backoff_delay(settings, attempts - 1))
                attempts += 1
    except TimeoutError:
        return Answer(asn, error=f"no answer within {settings.timeout:g} s")
    except Exception as exc:  # FuturePanic and whatever else ends one lookup
        return Answer(asn, error=f"{type(exc).__name__}: {exc}")
    except BaseException as exc:
        if not is_panic(exc):
            raise  # cancellation, KeyboardInterrupt, SystemExit
        return Answer(asn, error=f"PanicException: {exc}")


async def look_up_all(asns: Sequence[int], settings: Settings,
                      on_answer: Callable[[Answer], None] = lambda answer: None) -> list[Answer]:
    """The answers of `asns`, in their order. At most settings.max_in_flight lookups hold a
    connection (or wait to retry) at once; `on_answer` sees each answer as it arrives."""
    gate = asyncio.Semaphore(settings.max_in_flight)

    async def one(asn: int) -> Answer:
        async with gate:
            answer = await look_up(asn, settings)
        on_answer(answer)
        return answer

    return await asyncio.gather(*(one(asn) for asn in asns))
