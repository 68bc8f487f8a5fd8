#pragma once
// FunctionDescription and the argument binders.
//
// One static description per Python-callable entry point. Binding fills `output` with one slot per
// positional parameter followed by one slot per keyword-only parameter; each slot is left nullptr
// (not given) or set to a *borrowed* reference to the argument object, valid for the duration of
// the call. Extra positional arguments and extra keywords are always errors. Names are compared
// byte for byte by linear search; nothing is allocated unless an error is reported. Lock held.
#include "binding/python.hpp"

#include <cstddef>
#include <span>
#include <string_view>

#include "binding/pyerr.hpp"

namespace morvane::binding {

struct KeywordOnlyParameterDescription {
    std::string_view name;
    bool required;
};

struct FunctionDescription {
    // Owning class name; empty for a free function. Messages name "{cls}.{func}()" or "{func}()".
    std::string_view cls_name;
    std::string_view func_name;
    std::span<const std::string_view> positional_parameter_names;
    // How many of the leading positional parameters may not be given by keyword.
    std::size_t positional_only_parameters = 0;
    // How many of the leading positional parameters must be given.
    std::size_t required_positional_parameters = 0;
    std::span<const KeywordOnlyParameterDescription> keyword_only_parameters;

    std::size_t slot_count() const noexcept {
        return positional_parameter_names.size() + keyword_only_parameters.size();
    }
};

// Vectorcall form: `args` holds `nargs` positional values followed by one value per name in
// `kwnames` (a tuple, or nullptr); `args` may be nullptr when there are no values.
// `output.size()` must equal `desc.slot_count()`.
PyResult<void> extract_arguments_fastcall(const FunctionDescription& desc, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* kwnames,
                                          std::span<PyObject*> output);

// Tuple-and-dict form: `args` is the arguments tuple, `kwargs` the keyword dict or nullptr.
PyResult<void> extract_arguments_tuple_dict(const FunctionDescription& desc, PyObject* args,
                                            PyObject* kwargs, std::span<PyObject*> output);

// Wraps a conversion error of parameter `arg_name`: an exact TypeError becomes TypeError
// "argument '{name}': {message}" keeping the original's cause; any other error is returned as is.
PyErr argument_extraction_error(std::string_view arg_name, PyErr error);

}  // namespace morvane::binding
