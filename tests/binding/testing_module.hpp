#pragma once
// The test-only extension module `_binding_testing`: entry points of several shapes run through the
// real entry guards, plus hooks into faults, the ReferencePool, AttachGuard and OnceCache.
#include "binding/python.hpp"

namespace binding_testing {

// Argument binding through both binders and argument_extraction_error.
extern PyMethodDef binder_methods[];
// Faults, PyErr raise/fetch, reference pool, attachment and cache hooks.
extern PyMethodDef hook_methods[];

}  // namespace binding_testing
