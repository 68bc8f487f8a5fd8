#pragma once
// The route-fetch job: one call of fetch_routes, run on the background runtime. It connects an
// IRRClient to the registry, asks for the prefixes that `asn` originates, drops the client (which
// closes the connection) and ends with the prefix list or a deferred ConnectionError whose text
// starts "Failed to connect: " or "Failed to fetch routes: ". It holds no Python object and calls
// no Python API, so it may move freely between worker threads; the bridge converts its outcome.
#include <cstdint>
#include <string>

#include "binding/py_ref.hpp"
#include "binding/pyerr.hpp"
#include "morvane/src/word_list.hpp"
#include "pymorvane/src/prefix_list.hpp"
#include "runtime/task.hpp"

namespace pymorvane {

// The registry every production lookup asks: a public IRRd server that answers "!g".
inline constexpr const char* kRegistryAddress = "whois.radb.net:43";

using Prefixes = morvane::irr::WordList;
using RouteOutcome = morvane::binding::PyResult<Prefixes>;

// The job body against any registry address; production passes kRegistryAddress (tests pass a
// loopback emulator's address). Nothing runs until the runtime first polls the task.
morvane::runtime::Task<RouteOutcome> fetch_routes_job(std::string address, std::int32_t asn);

// Hands the production job for `asn` to the bridge: the new future, or the error to raise.
// Lock held, on the caller's thread.
morvane::binding::PyResult<morvane::binding::PyRef> start_route_fetch(std::int32_t asn);

// The same with another registry address (the test-only module uses it).
morvane::binding::PyResult<morvane::binding::PyRef> start_route_fetch_from(std::string address,
                                                                           std::int32_t asn);

}  // namespace pymorvane
