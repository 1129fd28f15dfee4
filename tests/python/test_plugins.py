"""A plug-in built against the installed package alone: the headers under
veldra.engine.get_include() are all it needs."""

import os
import shutil
import subprocess

import pytest

import veldra.engine as ve

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "plugin", "plugin_hello.cpp")


def test_plugin_compiles_against_get_include_and_loads(tmp_path):
    compiler = shutil.which("c++") or shutil.which("g++")
    if not compiler:
        pytest.skip("no C++ compiler")
    include = ve.get_include()
    assert os.path.isfile(os.path.join(include, "veldra", "engine_plugin.hpp"))
    library = str(tmp_path / "libhello.so")
    subprocess.check_call([compiler, "-std=c++17", "-shared", "-fPIC", "-O0", "-I", include, EXAMPLE, "-o", library])
    with ve.start(["--plugin", library]) as eng:
        assert eng.plugin_hello("wheel") == "Hello, wheel!"
        # Its error is thrown by the C++ runtime it was linked with and
        # caught by the engine's, which may be another copy (the wheel's).
        with pytest.raises(ve.VeldraExecutionError, match="takes 0 or 1 arguments"):
            eng.plugin_hello("a", "b")
        assert eng.plugin_hello("again") == "Hello, again!"
