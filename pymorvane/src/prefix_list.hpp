#pragma once
// How the route-fetch job's prefixes become Python objects: a new list with one str per word of
// the reply, in order, each made straight from the reply's payload. Lock held.
#include "binding/py_ref.hpp"
#include "binding/pyerr.hpp"
#include "bridge/to_python.hpp"
#include "morvane/src/word_list.hpp"

template <>
struct morvane::bridge::ToPython<morvane::irr::WordList> {
    static binding::PyResult<binding::PyRef> convert(morvane::irr::WordList&& words);
};
