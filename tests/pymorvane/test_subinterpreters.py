"""The module's runtime and caches are process-wide and hold the main interpreter's objects, so
no other interpreter may load it: isolated ones are refused by the interpreter itself, legacy ones
(sharing the main interpreter's lock) by the module's exec with a clear ImportError."""

import pytest


@pytest.mark.parametrize("module", ["pymorvane", "async_bridge"])
@pytest.mark.parametrize("config", ["isolated", "legacy"])
def test_subinterpreter_import_is_refused(run_python, config, module):
    load = (
        "import pymorvane"
        if module == "pymorvane"
        else "import importlib.machinery as m, importlib.util as u, sys; "
        "path = u.find_spec('pymorvane').origin; "
        "loader = m.ExtensionFileLoader('async_bridge', path); "
        "spec = u.spec_from_file_location('async_bridge', path, loader=loader); "
        "loader.exec_module(u.module_from_spec(spec))"
    )
    out = run_python(
        f"""
import _interpreters, sys
import pymorvane  # the main interpreter may use it
interp = _interpreters.create({config!r})
_interpreters.run_string(interp, "import sys; sys.path[:] = " + repr(sys.path))
info = _interpreters.exec(interp, {load!r})
print(info.type.__name__)
print(info.msg)
_interpreters.destroy(interp)
"""
    )
    kind, message = out.splitlines()[:2]
    assert kind == "ImportError"
    if config == "legacy":
        assert message.startswith(f"{module} can only be imported in the main interpreter")
    else:
        assert "does not support loading in subinterpreters" in message
