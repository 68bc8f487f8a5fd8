#pragma once
// How the route-fetch job's prefixes become Python objects: a new list with one str per word of
// the reply, in order, each made straight from the reply's payload. The bridge calls it through
// its ToPython conversion when it delivers the job's outcome. Lock held.
#include <utility>

#include "binding/py_ref.hpp"
#include "binding/pyerr.hpp"
#include "bridge/to_python.hpp"
#include "morvane/src/word_list.hpp"

namespace pymorvane {

morvane::binding::PyResult<morvane::binding::PyRef> prefix_list(morvane::irr::WordList&& words);

}  // namespace pymorvane

template <>
struct morvane::bridge::ToPython<morvane::irr::WordList> {
    static binding::PyResult<binding::PyRef> convert(irr::WordList&& words) {
        return pymorvane::prefix_list(std::move(words));
    }
};
