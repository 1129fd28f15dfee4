"""What a user sees at the prompt: reprs, dir and help, log records, versions
and the command line."""

import inspect
import logging
import os
import pydoc
import re
import signal
import sys
import time

import pytest

import veldra
import veldra.engine as ve
from conftest import children_of, run_process

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


@pytest.fixture(scope="module")
def eng():
    with ve.start() as e:
        yield e


# ---- reprs -------------------------------------------------------------------


@pytest.mark.parametrize(
    "cls, dims, is_complex",
    [
        (veldra.double, (1000, 1000), False),
        (veldra.int8, (1, 5000), False),
        (veldra.single, (5000, 1), True),
        (veldra.logical, (20, 30, 40), False),
    ],
)
def test_large_arrays_print_summarised(cls, dims, is_complex):
    n = 1
    for d in dims:
        n *= d
    a = cls(size=dims, is_complex=is_complex)
    a.linear[0] = 1
    a.linear[n - 1] = 1
    text = repr(a)
    assert len(text) < 3000 and "..." in text
    assert text.endswith("size=%r)" % (dims,))
    assert len(str(a)) < 3000 and "..." in str(a)
    first, last = (True, True) if cls is veldra.logical else (a.linear[0], a.linear[n - 1])
    assert repr(first) in text.split("...")[0] and repr(last) in text.split("...")[-1]
    assert all(len(line) <= 80 for line in text.splitlines()[:-1])


@pytest.mark.parametrize(
    "a, text",
    [
        (veldra.double([[1, 2], [3, 4]]), "[[1.0 2.0]\n [3.0 4.0]]"),
        (veldra.int16([[1, -20], [300, 4]]), "[[  1 -20]\n [300   4]]"),
        (veldra.int8(list(range(8)), size=(2, 2, 2)), "[[[0 4]\n  [2 6]]\n\n [[1 5]\n  [3 7]]]"),
        (veldra.double(size=(0, 3)), "[]"),
    ],
)
def test_str_aligns_columns_like_numpy(a, text):
    assert str(a) == text


def test_small_reprs_read_back_and_wrap():
    a = veldra.double(list(range(40)), size=(2, 20))
    text = repr(a)
    assert eval(text, {"veldra": veldra}) == a
    lines = text.splitlines()
    assert len(lines) > 2 and max(len(line) for line in lines) <= 80
    # Continuation lines start under the first element of their row.
    assert all(line.startswith(" " * 16) for line in lines[1:] if not line.lstrip().startswith("["))
    big = veldra.double(size=(2, 1000))
    assert repr(big[0]) == "<view a[0] of a 2-by-1000 veldra.double>"


def test_object_repr_shows_its_dimensions(eng):
    o = eng.objects(2, 3)
    assert repr(o) == "<veldra.object 2-by-3>"
    assert repr(o[1]).startswith("<veldra.object 3, a[1] of a 2-by-3")


# ---- dir and help --------------------------------------------------------------


def test_dir_and_hasattr_follow_the_engine(eng):
    names = dir(eng)
    for name in ("sqrt", "qr", "function_table", "call", "submit", "workspace"):
        assert name in names
    assert names == sorted(names)
    assert not hasattr(eng, "no_such_function")
    with pytest.raises(AttributeError, match="no_such_function"):
        eng.no_such_function  # noqa: B018
    # The engine's own functions remain reachable by name.
    assert eng.call("identity", 2.0) == 2.0


@pytest.mark.parametrize(
    "name, arguments, text, params",
    [
        ("sqrt", "sqrt(x)", "square root", ["x"]),
        ("sum", "sum(x, dim?)", "sum along dim", ["x", "dim"]),
        ("reshape", "reshape(x, d1, d2, ...)", "dimensions", ["x", "d1", "d2", "more"]),
        ("zeros", "zeros(m, n, class?)", "zeros", ["m", "n", "class_"]),
        ("identity", "identity(values...)", "unchanged", ["values"]),
    ],
)
def test_help_shows_the_engines_text(eng, name, arguments, text, params):
    f = getattr(eng, name)
    assert f.__doc__.startswith(arguments) and text in f.__doc__
    page = pydoc.render_doc(f, renderer=pydoc.plaintext)
    assert text in page and "nout=1" in page
    sig = inspect.signature(f)
    assert list(sig.parameters)[:-3] == params
    assert list(sig.parameters)[-3:] == ["nout", "stdout", "stderr"]


# ---- logging -------------------------------------------------------------------


@pytest.mark.parametrize(
    "call",
    [
        lambda e, running: e.sqrt(1.0),
        lambda e, running: e.submit("sqrt", 1.0).result(30),
        lambda e, running: running.result(30),
    ],
    ids=["call", "submit", "running"],
)
def test_log_records_launch_close_and_loss(caplog, call):
    caplog.set_level(logging.INFO, logger="veldra.engine")
    before = set(children_of(os.getpid()))
    eng = ve.start()
    eng.close()
    killed = ve.start()
    (pid,) = set(children_of(os.getpid())) - before
    running = killed.submit("sleep", 30)
    os.kill(pid, signal.SIGKILL)
    for _ in range(500):  # gone, so that the calls meet a dead engine
        try:
            with open("/proc/%d/cmdline" % pid) as f:
                if not f.read():  # a zombie
                    break
        except OSError:
            break
        time.sleep(0.01)
    for _ in range(2):
        with pytest.raises(ve.EngineError):
            call(killed, running)
    killed.close()
    messages = [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "veldra.engine"]
    assert ("INFO", messages[0][1]) == messages[0] and messages[0][1].startswith("launched engine")
    assert messages[1][1].startswith("closed launched engine")
    lost = [m for level, m in messages if level == "WARNING"]
    assert len(lost) == 1 and "lost launched engine" in lost[0] and "signal 9" in lost[0], messages


def test_log_records_attach_and_detach(served, caplog):
    name, _ = served
    caplog.set_level(logging.INFO, logger="veldra.engine")
    with ve.connect(name) as eng:
        eng.identity(1.0)
    messages = [r.getMessage() for r in caplog.records if r.name == "veldra.engine"]
    assert messages == ["attached to shared session %r" % name, "detached from shared session %r" % name]


def test_nothing_is_printed_without_logging_configured():
    out = run_process(
        [
            sys.executable,
            "-c",
            "import veldra.engine as ve\n"
            "e = ve.start(); e.close()\n"
            "try: ve.connect('nothing_here')\nexcept ve.EngineError: pass\n",
        ],
        timeout=60,
    )
    assert out.returncode == 0 and out.stdout == "" and out.stderr == "", out.stderr


# ---- versions and the command line ----------------------------------------------


def test_versions_agree():
    with open(os.path.join(ROOT, "pyproject.toml")) as f:
        declared = re.search(r'^version = "([^"]+)"', f.read(), re.M).group(1)
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        cmake = re.search(r"project\(\S+ VERSION (\S+)", f.read()).group(1)
    from veldra.engine.__main__ import engine_executable

    engine = run_process([engine_executable(), "--version"], timeout=60)
    cli = run_process([sys.executable, "-m", "veldra.engine", "--version"], timeout=60)
    assert veldra.__version__ == declared == cmake
    assert engine.stdout == "veldra-engine %s\n" % declared
    assert cli.stdout.startswith("veldra-engine-py %s " % declared)
    script = run_process([os.path.join(os.path.dirname(sys.executable), "veldra-engine-py"), "--version"], timeout=60)
    assert script.stdout == cli.stdout
    with pytest.raises(ve.EngineError, match="version"):
        ve.start("--version")


@pytest.mark.parametrize(
    "argv, says",
    [
        (["serve", "x", "--threads", "0"], "argument --threads: expected a whole number of at least 1"),
        (["serve", "x", "--threads", "many"], "argument --threads"),
        ([], "a command is needed"),
    ],
)
def test_option_errors_name_the_option(argv, says):
    out = run_process([sys.executable, "-m", "veldra.engine"] + argv, timeout=60)
    assert out.returncode == 2 and says in out.stderr, out.stderr
    if argv:
        assert "usage: python -m veldra.engine serve" in out.stderr


def test_serve_passes_plugins_and_threads_on(runtime_dir):
    out = run_process(
        [
            sys.executable,
            "-m",
            "veldra.engine",
            "serve",
            "p1",
            "--threads",
            "1",
            "--plugin",
            "/nonexistent/libnothing.so",
        ],
        timeout=60,
    )
    assert out.returncode != 0 and "libnothing.so" in out.stderr and "plugin" in out.stderr


def test_readme_tour_is_the_checked_example():
    with open(os.path.join(ROOT, "README.md")) as f:
        readme = f.read()
    tour = readme.split("## Quick tour", 1)[1].split("```python", 1)[1].split("```", 1)[0]
    with open(os.path.join(ROOT, "examples", "tour.py")) as f:
        checked = [line.strip() for line in f]
    missing = [line for line in tour.splitlines() if line.strip() and line.strip() not in checked]
    assert not missing, "README tour lines not in examples/tour.py: %r" % missing


def test_tour_runs():
    out = run_process([sys.executable, os.path.join(ROOT, "examples", "tour.py")], timeout=120)
    assert out.returncode == 0, out.stderr
    assert "square root" in out.stdout.lower()
