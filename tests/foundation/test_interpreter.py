"""The test interpreter is the standard CPython 3.14 build whose headers the extension used."""

import pathlib
import re
import sys
import sysconfig


def cmake_cache(build_dir: pathlib.Path) -> dict[str, str]:
    entries = {}
    for line in (build_dir / "CMakeCache.txt").read_text().splitlines():
        m = re.match(r"^([A-Za-z_0-9]+):[A-Z]+=(.*)$", line)
        if m:
            entries[m.group(1)] = m.group(2)
    return entries


def test_interpreter_is_standard_314_build():
    assert sys.implementation.name == "cpython"
    assert sys.version_info[:2] == (3, 14)
    assert not sysconfig.get_config_var("Py_GIL_DISABLED")
    assert sys._is_gil_enabled()


def test_build_used_this_interpreters_headers(build_dir):
    include = pathlib.Path(sysconfig.get_paths()["include"])
    assert (include / "Python.h").is_file()
    cache = cmake_cache(build_dir)
    built_with = pathlib.Path(cache["Python_EXECUTABLE"]).resolve()
    # The venv's interpreter is a link to the bootstrapped base interpreter.
    assert built_with == pathlib.Path(sys._base_executable).resolve()
