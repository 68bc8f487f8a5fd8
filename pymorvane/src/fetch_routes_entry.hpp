#pragma once
// The `fetch_routes(asn)` entry: argument binding, conversion of `asn` to a signed 32-bit AS
// number, and the hand-over of the route-fetch job to the asyncio bridge. Lock held throughout.
#include "binding/python.hpp"

#include <cstdint>

#include "binding/pyerr.hpp"

namespace pymorvane {

// The method definition that module exec turns into the `fetch_routes` function object
// (METH_FASTCALL | METH_KEYWORDS | METH_STATIC, signature-only docstring).
PyMethodDef* fetch_routes_method();

// Converts the bound argument the way the entry does: PyLong_AsLong, then the 32-bit range
// check ("out of range integral type conversion attempted"), then argument_extraction_error
// with the parameter name. Exposed for the test-only module, which binds its own arguments.
morvane::binding::PyResult<std::int32_t> convert_asn(PyObject* asn);

}  // namespace pymorvane
