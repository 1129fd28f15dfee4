"""The module frame: what importing veldra.engine publishes, and its messages."""

import ctypes
import json
import os
import re
import shutil
import sys

import pytest

import veldra
import veldra.engine
from conftest import run_python

EXCEPTIONS = ["EngineError", "TimeoutError", "InterruptedError", "VeldraExecutionError", "CancelledError"]

# The documentation string of every module function, as published.
DOCS = {
    "createProcess": "createProcess() initializes the VELDRA Engine process",
    "closeProcess": "closeProcess() terminates the VELDRA Engine process",
    "createVELDRAAsync": "createVELDRAAsync() creates a VELDRA instance asynchronously",
    "getVELDRA": "getVELDRA() gets the VELDRA instance",
    "attachVELDRAAsync": "attachVELDRAAsync() attaches to a shared VELDRA session asynchronously",
    "waitForVELDRA": "waitForVELDRA() waits for the launch and attach of a VELDRA instance",
    "isDoneVELDRA": "isDoneVELDRA() checks the completion status of a VELDRA function",
    "cancelVELDRA": "cancelVELDRA() cancels the launch or connection to a VELDRA instance",
    "destroyVELDRA": "destroyVELDRA() release the memory used to store the handle to the VELDRA instance",
    "findVELDRA": "findVELDRA() finds all shared VELDRA sessions",
    "closeVELDRA": "closeVELDRA() terminates VELDRA",
    "evaluateFunction": "evaluateFunction() evaluates a VELDRA function with arguments",
    "validateIdentity": "validateIdentity() validates the variable name in VELDRA",
    "getMessage": "getMessage() retrieves the error message",
    "getFEvalResult": "getFEvalResult() returns the result of a VELDRA function",
    "takeFEvalOutput": "takeFEvalOutput() returns the text a VELDRA function has written so far, as (out, err)",
    "takeFEvalProgress": "takeFEvalProgress() returns the latest progress of a VELDRA function, as (done, total), or None",
    "destroyFEvalResult": "destroyFEvalResult() destroys the result of a VELDRA function",
    "cancelFEval": "cancelFEval() cancels the execution of a VELDRA function",
    "isDoneFEval": "isDoneFEval() checks the completion status of a VELDRA function",
    "waitForFEval": "waitForFEval() wait for the execution of a VELDRA function",
    "isCancelledFEval": "isCancelledEval() checks the cancellation status of a VELDRA function",
}
KEYWORD_FUNCTIONS = {"evaluateFunction", "getFEvalResult"}


def catalog_keys(locale_dir, domain):
    path = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "catalogs", "en", domain + ".po")
    with open(path, encoding="utf-8") as f:
        return [k for k in re.findall(r'^msgid "(.+)"$', f.read(), re.M)]


@pytest.mark.parametrize("name", EXCEPTIONS)
def test_exception_classes(name):
    cls = getattr(veldra.engine, name)
    assert cls.__bases__ == (Exception,)
    assert (cls.__module__, cls.__name__) == ("veldra.engine", name)
    assert cls is not getattr(__import__("builtins"), name, None)
    assert not any(issubclass(cls, getattr(veldra.engine, other)) for other in EXCEPTIONS if other != name)


def test_object_type_is_published():
    t = veldra.object
    assert isinstance(t, type) and repr(t) == "<class 'veldra.object'>"
    assert t.__doc__ == "VELDRA object"
    with pytest.raises(TypeError):
        t()
    with pytest.raises(TypeError):
        type("Sub", (t,), {})


def test_module_and_function_docs(native):
    assert native.__doc__ == "VELDRA Engine for Python"
    published = {n for n in dir(native) if callable(getattr(native, n))}
    assert published <= set(DOCS)
    for name in published:
        assert getattr(native, name).__doc__ == DOCS[name]


def test_only_two_functions_take_keywords(native):
    for name in set(DOCS) - KEYWORD_FUNCTIONS:
        if hasattr(native, name):
            with pytest.raises(TypeError):
                getattr(native, name)(key=1)


def test_version_and_build_date(native):
    lib = ctypes.CDLL(native.__file__)
    base = native.__name__.rsplit(".", 1)[-1]
    assert base == "veldraengineforpython%d_%d" % sys.version_info[:2]
    version = ctypes.c_char_p.in_dll(lib, base + "_version").value.decode()
    date = ctypes.c_char_p.in_dll(lib, base + "_build_date").value.decode()
    assert re.fullmatch(r"\d+\.\d+\.\d+\.\d+", version)
    assert re.fullmatch(r"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [1-9]\d? \d{4}", date)


MESSAGES_PROGRAM = """
import json, veldra.engine as e
keys = json.loads(%r)
print(json.dumps([e._native.getMessage(k) for k in keys]))
"""


@pytest.mark.parametrize(
    "env, language",
    [
        ({}, "en"),
        ({"LANG": "C"}, "en"),
        ({"LANG": "de_DE.UTF-8"}, "de"),
        ({"LANG": "en_US.UTF-8", "LC_MESSAGES": "de_AT.UTF-8"}, "de"),
        ({"LANG": "de_DE.UTF-8", "LC_ALL": "en_GB.UTF-8"}, "en"),
        ({"LANG": "fr_FR.UTF-8"}, "en"),  # no French catalog: English
    ],
)
def test_get_message_follows_the_locale(env, language, locale_dir, catalog_text):
    keys = catalog_keys(locale_dir, "VELDRA_PythonEngine")
    out = run_python(MESSAGES_PROGRAM % json.dumps(keys), env=env)
    assert out.returncode == 0, out.stderr
    texts = json.loads(out.stdout)
    assert texts == [catalog_text("VELDRA:PythonEngine", k, language) for k in keys]
    if language == "de":
        assert any(ord(c) > 127 for text in texts for c in text)


@pytest.mark.parametrize("args", [(3,), (None,), (b"FevalTakes3Args",), (), ("a", "b"), ("a\0b",)])
def test_get_message_needs_one_string(native, catalog_text, args):
    with pytest.raises(TypeError) as e:
        native.getMessage(*args)
    assert str(e.value) == catalog_text("VELDRA:PythonEngine", "MessageIDShouldBeStr")


@pytest.mark.parametrize("key", ["NoSuchKey", "", "UnsupportedPythonData", "fevaltakes3args"])
def test_get_message_unknown_key(native, key):
    # getMessage only reads the engine catalog; other keys are unknown there.
    assert native.getMessage(key) == "unknown error"


@pytest.mark.parametrize("catalog", ["VELDRA_PythonEngine", "VELDRA_PythonQxArray"])
@pytest.mark.parametrize("language", ["en", "de"])
def test_every_key_has_a_text(locale_dir, catalog_text, catalog, language):
    for key in catalog_keys(locale_dir, catalog):
        catalog_text(catalog.replace("_", ":", 1), key, language)
    assert "{1}" in catalog_text("VELDRA:PythonQxArray", "UnsupportedPythonData", language)


def copy_package(tmp_path, native, without_catalogs):
    pkg = os.path.dirname(os.path.dirname(veldra.__file__))
    target = tmp_path / "site"
    shutil.copytree(
        os.path.join(pkg, "veldra"),
        target / "veldra",
        ignore=shutil.ignore_patterns("locale") if without_catalogs else None,
    )
    # An installed wheel loads the libraries it carries from next to the package.
    libs = os.path.join(pkg, "veldra_engine.libs")
    if os.path.isdir(libs):
        os.symlink(libs, str(target / "veldra_engine.libs"))
    return str(target)


def test_import_without_catalogs(tmp_path, native):
    site = copy_package(tmp_path, native, without_catalogs=True)
    out = run_python(
        "import sys; sys.path.insert(0, %r)\n"
        "import veldra.engine as e\n"
        "assert e.__file__.startswith(%r)\n"
        "print(e._native.getMessage('FevalTakes3Args'))\n"
        "try: e._native.getMessage(3)\n"
        "except TypeError as x: print(x)\n" % (site, site)
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["unknown error", "VELDRA:PythonEngine:MessageIDShouldBeStr"]


@pytest.mark.parametrize(
    "code, error",
    [
        ("import veldra; del veldra.logical", "AttributeError"),
        ("import veldra; del veldra.double", "AttributeError"),
    ],
)
def test_failed_initialisation_fails_the_import(code, error):
    out = run_python(code + "\nimport veldra.engine\n")
    assert out.returncode != 0
    assert error in out.stderr
