#pragma once
// The interpreter's C API, for every translation unit that uses it: this header is the only one
// that includes <Python.h> (tools/check-layering checks it), and comes before any other include,
// as the C API asks.
//
// Only the standard CPython build, with the interpreter lock, is supported: the binding and the
// bridge rely on that lock to serialise every touch of a Python object, and the free-threaded
// build lays objects out differently, so a module built against it would crash on import. Its
// headers are refused here, from pyconfig.h (which says which build they are of), before
// anything is compiled against them.
#include <pyconfig.h>

#if defined(Py_GIL_DISABLED)
#error \
    "pymorvane supports only the standard CPython build with the interpreter lock; these headers are free-threaded (Py_GIL_DISABLED)"
#endif

#include <Python.h>
