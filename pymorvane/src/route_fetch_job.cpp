#include "pymorvane/src/route_fetch_job.hpp"

#include <optional>
#include <string_view>
#include <utility>

#include "bridge/future_into_py.hpp"
#include "morvane/src/irr.hpp"

namespace pymorvane {

using morvane::binding::PyErr;

namespace {

// The C library's part of the client's message (an OS error's or a resolver failure's text)
// stays marked, so that the binding decodes it with the locale's codec and the rest as UTF-8.
PyErr connection_error(std::string_view prefix, const morvane::irr::ClientError& error) {
    const morvane::irr::TextSpan part = error.locale_text();
    return PyErr::new_deferred(PyExc_ConnectionError, std::string(prefix) + error.message(),
                               PyErr::LocaleText{prefix.size() + part.offset, part.size});
}

}  // namespace

morvane::runtime::Task<RouteOutcome> fetch_routes_job(std::string address, std::int32_t asn) {
    // The client is dropped, closing the connection, before the outcome leaves the job, whether
    // the lookup succeeded or not.
    std::optional<morvane::irr::IRRClient> client;
    {
        auto connected = co_await morvane::irr::IRRClient::connect(std::move(address));
        if (!connected) co_return connection_error("Failed to connect: ", connected.error());
        client.emplace(connected.take());
    }
    auto routes = co_await client->route_words(asn);
    client.reset();
    if (!routes) co_return connection_error("Failed to fetch routes: ", routes.error());
    co_return routes.take();
}

morvane::binding::PyResult<morvane::binding::PyRef> start_route_fetch(std::int32_t asn) {
    return start_route_fetch_from(kRegistryAddress, asn);
}

morvane::binding::PyResult<morvane::binding::PyRef> start_route_fetch_from(std::string address,
                                                                           std::int32_t asn) {
    return morvane::bridge::future_into_py(fetch_routes_job(std::move(address), asn));
}

}  // namespace pymorvane
