"""Submitting calls and collecting them through the module functions."""

import datetime
import io
import os
import signal
import threading
import time

import pytest

import veldra
import veldra.engine
from conftest import Caller

E = "VELDRA:PythonEngine"
Q = "VELDRA:PythonQxArray"
MAX_HANDLE = 2**64 - 1


class MyInt(int):
    pass


class MyList(list):
    pass


def expect(catalog_text, exc, catalog, key, fn, *args, arg=None, **kwargs):
    with pytest.raises(exc) as e:
        fn(*args, **kwargs)
    text = catalog_text(catalog, key)
    assert str(e.value) == (text.replace("{1}", arg) if arg else text)


# ---- evaluateFunction -------------------------------------------------------


@pytest.mark.parametrize(
    "args, key",
    [
        ((), "FevalTakes3Args"),
        (("E",), "FevalTakes3Args"),
        (("E", "identity"), "FevalTakes3Args"),
        ((1.0, "identity", 1), "HandleToVeldraShouldBeLI"),
        (("1", "identity", 1), "HandleToVeldraShouldBeLI"),
        (("E", b"identity", 1), "FuncShouldBeASCII"),
        (("E", "identit\u00e9", 1, (None,)), "FuncShouldBeASCII"),  # checked before any conversion
        (("E", 7, 1), "FuncShouldBeASCII"),
        (("E", "identity", 1.0), "NumOutShouldBeInt"),
        (("E", "identity", None, (object(),)), "NumOutShouldBeInt"),
        (("E", "identity", 1, [1.0]), "ArgumentsShouldBeTuple"),
    ],
)
def test_submission_argument_errors(native, engine, catalog_text, args, key):
    args = tuple(engine if a == "E" else a for a in args)
    expect(catalog_text, TypeError, E, key, native.evaluateFunction, *args)


@pytest.mark.parametrize(
    "args",
    [
        (2**64, "identity", 1),
        (-1, "identity", 1),
        ("E", "identity", 2**31),
        ("E", "identity", -(2**31) - 1),
    ],
)
def test_out_of_range_integers_do_not_wrap(native, engine, args):
    args = tuple(engine if a == "E" else a for a in args)
    with pytest.raises(OverflowError):
        native.evaluateFunction(*args)


@pytest.mark.parametrize(
    "value, key",
    [
        (MyInt(3), "test_calls.MyInt"),
        (MyList(), "test_calls.MyList"),
        (frozenset(), "frozenset"),
        (range(3), "range"),
        (datetime.datetime(2020, 1, 1), "datetime.datetime"),
        (object(), "object"),
    ],
)
def test_values_without_a_converter_are_refused(native, engine, catalog_text, live_arrays, value, key):
    before = live_arrays()
    expect(
        catalog_text,
        TypeError,
        Q,
        "UnsupportedPythonData",
        native.evaluateFunction,
        engine,
        "identity",
        1,
        (1.0, "abc", value),
        arg=key,
    )
    assert live_arrays() == before


def test_none_at_the_top_level(native, engine, catalog_text):
    expect(catalog_text, TypeError, Q, "NoneNotSupported", native.evaluateFunction, engine, "identity", 1, (None,))


def test_handles_and_capture_flags(native, engine):
    plain = native.evaluateFunction(engine, "identity", 1, (), "ignored", "too")
    captured = native.evaluateFunction(engine, "identity", 1, (), out=None, err=io.StringIO(), other=1, OUT=2)
    for handles in (plain, captured):
        assert type(handles) is tuple and len(handles) == 3
        assert all(type(h) is int and 0 <= h <= MAX_HANDLE for h in handles)
        native.destroyFEvalResult(handles)
    assert plain[1:] == (0, 0)
    assert captured[1] == 0 and captured[2] != 0


@pytest.mark.parametrize(
    "name, expected",
    [
        ("a", True),
        ("a_1", True),
        ("a" * 63, True),
        ("a" * 64, False),
        ("1a", False),
        ("_a", False),
        ("", False),
        ("\u00e9", False),
    ],
)
def test_validate_identity(native, name, expected):
    assert native.validateIdentity(name) is expected


@pytest.mark.parametrize("args", [(5,), (), ("a", "b"), (b"a",), ("a\0b",)])
def test_validate_identity_needs_one_string(native, catalog_text, args):
    expect(catalog_text, TypeError, E, "VarNameShouldBeStr", native.validateIdentity, *args)


# ---- getFEvalResult and the future functions --------------------------------


@pytest.mark.parametrize(
    "args, key",
    [
        (("H",), "FevalResultTakes3Args"),
        (("H", 1, None, 4), "FevalResultTakes3Args"),
        (([1, 0, 0], 1, None), "HandleShouldBeTuple"),
        (((1.0, 0, 0), 1, None), "HandleToResultShouldBeLI"),
        (((1, "0", 0), 1, None), "HandleToConOutShouldBeLI"),
        (((1, 0, None), 1, None), "HandleToConErrShouldBeLI"),
        (((1, 0), 1, None), "HandleToConErrShouldBeLI"),
        (((), 1, None), "HandleToResultShouldBeLI"),
        (("H", 1.0, None), "NumOutShouldBeInt"),
        (("H", 1, "1"), "TimtoutShouldBeIntFloat"),
        (("H", 1, [1]), "TimtoutShouldBeIntFloat"),
    ],
)
def test_result_argument_errors(native, call, catalog_text, args, key):
    h = call.submit("identity", 1.0)
    try:
        expect(catalog_text, TypeError, E, key, native.getFEvalResult, *(h if a == "H" else a for a in args))
    finally:
        native.destroyFEvalResult(h)


@pytest.mark.parametrize(
    "fn, args, key",
    [
        ("waitForFEval", ("H", None), "TimtoutShouldBeIntFloat"),
        ("waitForFEval", ("H",), "TimtoutShouldBeIntFloat"),
        ("waitForFEval", (), "HandleShouldBeTuple"),
        ("isDoneFEval", ([1],), "HandleShouldBeTuple"),
        ("cancelFEval", ((None,),), "HandleToResultShouldBeLI"),
        ("isCancelledFEval", ((),), "HandleToResultShouldBeLI"),
        ("destroyFEvalResult", ((1, 0, 1.5),), "HandleToConErrShouldBeLI"),
    ],
)
def test_future_argument_errors(native, call, catalog_text, fn, args, key):
    h = call.submit("identity", 1.0)
    try:
        expect(catalog_text, TypeError, E, key, getattr(native, fn), *(h if a == "H" else a for a in args))
    finally:
        native.destroyFEvalResult(h)


def test_polling_reads_only_the_future_handle(native, call):
    h = call.submit("identity", 1.0)
    assert native.waitForFEval((h[0], "x", None), -1) is True
    assert native.isDoneFEval((h[0], "x", None)) is True
    assert native.isCancelledFEval((h[0],)) is False
    assert native.cancelFEval((h[0], 1.5)) is False  # already finished
    assert call.result(h) == 1.0


@pytest.mark.parametrize(
    "nout, args, expected",
    [
        (0, (1.0,), None),
        (1, (1.0,), 1.0),
        (1, (1.0, 2.0), (1.0, 2.0)),  # the number of results follows the engine
        (0, (1.0, 2.0), None),
        (True, (3.0,), 3.0),
        (1, (), None),  # identity gives what it is given, whatever is asked
        (3, (1.0,), 1.0),
    ],
)
def test_number_of_results(call, nout, args, expected):
    assert call("identity", *args, nout=nout) == expected


def test_unsuitable_number_of_results(call):
    # Passed on unchanged; the engine refuses it.
    with pytest.raises(veldra.engine.EngineError):
        call.submit("identity", 1.0, nout=-1)
    with pytest.raises(veldra.engine.VeldraExecutionError):
        call("sqrt", 4.0, nout=2)


@pytest.mark.parametrize("timeout", [None, 5, 5.0, True, -1, -1.0])
def test_time_out_forms(call, timeout):
    assert call.result(call.submit("identity", 2.0), 1, timeout) == 2.0


def test_time_out_then_collect_later(native, call):
    h = call.submit("sleep", 0.3)
    try:
        with pytest.raises(veldra.engine.TimeoutError):
            native.getFEvalResult(h, 1, 0.01)
        assert native.isDoneFEval(h) is False
        assert native.waitForFEval(h, 10) is True
        assert native.getFEvalResult(h, 1, None) is None
    finally:
        native.destroyFEvalResult(h)


def test_cancel_a_running_call(native, call):
    h = call.submit("sleep", 30)
    time.sleep(0.05)
    assert native.cancelFEval(h) is True
    assert native.isCancelledFEval(h) is True
    with pytest.raises(veldra.engine.CancelledError):
        call.result(h)


def test_execution_error_still_writes_the_output(call, catalog_text):
    out, err = io.StringIO(), io.StringIO()
    with pytest.raises(veldra.engine.VeldraExecutionError) as e:
        call("print_fail", "partial \u00e9", "it broke", out=out, err=err)
    assert str(e.value) == "it broke"
    assert out.getvalue() == "partial \u00e9\n" and err.getvalue() == "partial \u00e9\n"


@pytest.mark.parametrize(
    "name, args, exc, message",
    [
        ("calc", ("1 + * 2",), SyntaxError, None),
        ("untransferable", (), TypeError, ("VELDRA:PythonEngine", "UnsupportedVeldraType")),
        ("no_such_function", (), veldra.engine.VeldraExecutionError, "no_such_function"),
        ("fail", ("custom failure",), veldra.engine.VeldraExecutionError, "custom failure"),
    ],
)
def test_engine_failures_map_to_classes(call, catalog_text, name, args, exc, message):
    with pytest.raises(exc) as e:
        call(name, *args)
    if isinstance(message, tuple):
        assert str(e.value) == catalog_text(*message)
    elif message:
        assert message in str(e.value)


@pytest.mark.parametrize("text", ["plain", "caf\u00e9 \u20ac \U0001f600", "nul\0inside", ""])
def test_captured_text_reaches_the_stream_whole(call, text):
    out, err = io.StringIO(), io.StringIO()
    call("print", text, out=out)
    call("warn", text, err=err)
    assert out.getvalue() == text + "\n" and err.getvalue() == text + "\n"


def test_streams_are_checked_only_when_captured(native, call, catalog_text):
    assert call.result(call.submit("identity", 1.0), 1, None, out=5, err="x") == 1.0
    h = call.submit("print", "x", out=io.StringIO())
    expect(catalog_text, TypeError, E, "StringIOForConOut", native.getFEvalResult, h, 1, None, out=5)
    expect(catalog_text, TypeError, E, "StringIOForConErr", native.getFEvalResult, h, 1, None, out=io.StringIO(), err=5)
    native.destroyFEvalResult(h)


def test_captured_text_without_a_stream_goes_to_sys_stdout(call, capsys):
    h = call.submit("print", "to stdout", out=io.StringIO())
    call.result(h, 1, None, out=None)
    assert capsys.readouterr().out == "to stdout\n"


def test_failing_write_fails_the_call(call):
    class Broken(io.StringIO):
        def write(self, s):
            raise RuntimeError("cannot write")

    with pytest.raises(RuntimeError):
        call("print", "x", out=Broken())


@pytest.mark.parametrize(
    "value, cls, expected",
    [
        (-128, "int8", -128),
        (127, "int8", 127),
        (255, "uint8", 255),
        (-32768, "int16", -32768),
        (65535, "uint16", 65535),
        (-(2**31), "int32", -(2**31)),
        (2**32 - 1, "uint32", 2**32 - 1),
        (-(2**63), "int64", -(2**63)),
        (2**63 - 1, "int64", 2**63 - 1),
        (1.9e19, "uint64", 2**64 - 1),
        (0.1, "single", 0.10000000149011612),
        (1, "logical", True),
        (0, "logical", False),
        (2.5, "double", 2.5),
    ],
)
def test_scalar_results_are_exact(call, value, cls, expected):
    result = call("cast", value, cls)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize(
    "cls, parts",
    [
        ("int16", (3, -1)),
        ("uint8", (200, 7)),
        ("double", (1.5, 0.0)),
        ("single", (0.5, -0.25)),
        ("uint64", (2**63, 1)),
        ("int64", (-(2**63), 5)),
    ],
)
def test_complex_scalar_results(call, cls, parts):
    make = getattr(veldra, cls)
    result = call("complex", make([[parts[0]]]), make([[parts[1]]]))
    assert result == complex(*parts) and type(result) is complex


def test_many_threads_call_wait_and_cancel(native, call):
    errors = []

    def worker(i):
        try:
            for j in range(20):
                assert call("identity", float(i * 100 + j)) == float(i * 100 + j)
            h = call.submit("sleep", 30)
            assert native.cancelFEval(h) is True
            with pytest.raises(veldra.engine.CancelledError):
                call.result(h)
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not errors


def test_engine_killed_mid_call(native):
    from test_sessions import children_of

    before = set(children_of(os.getpid()))
    engine = native.getVELDRA(native.createVELDRAAsync([]))
    pid = (set(children_of(os.getpid())) - before).pop()
    caller = Caller(native, engine)
    h = caller.submit("sleep", 30)
    time.sleep(0.05)
    os.kill(pid, signal.SIGKILL)
    with pytest.raises(veldra.engine.EngineError):
        caller.result(h, 1, 10)
    with pytest.raises(veldra.engine.EngineError):
        caller("identity", 1.0)
    native.closeVELDRA(engine)


@pytest.mark.parametrize(
    "fn, args",
    [
        ("isDoneFEval", ((987654321, 0, 0),)),
        ("cancelFEval", ((987654321,),)),
        ("isCancelledFEval", ((987654321,),)),
        ("waitForFEval", ((987654321,), 0)),
        ("destroyFEvalResult", ((987654321, 0, 0),)),
    ],
)
def test_unknown_call_handles(native, fn, args):
    with pytest.raises(veldra.engine.EngineError):
        getattr(native, fn)(*args)


@pytest.mark.parametrize("nout, timeout", [(2**31, None), (1, 2**31), (1, -(2**31) - 1)])
def test_result_integers_do_not_wrap(native, call, nout, timeout):
    h = call.submit("identity", 1.0)
    try:
        with pytest.raises(OverflowError):
            native.getFEvalResult(h, nout, timeout)
    finally:
        native.destroyFEvalResult(h)
