import gettext
import os
import subprocess
import sys
import time
import uuid

import pytest

# Python 2.7 runs only the files below: what 2.7 does differently, and the
# ones written so that both read them.  The others are written for Python 3:
# in syntax 2.7 cannot read (eng.print, print being a keyword there; asyncio;
# the @ operator; keyword-only helpers), or with Python 3's library
# (math.prod, time.monotonic, memoryview.cast) and its int and str types in
# their checks.
_PY2_FILES = ("test_python2.py", "test_object.py")
if sys.version_info[0] == 2:
    collect_ignore = sorted(
        f
        for f in os.listdir(os.path.dirname(os.path.abspath(__file__)))
        if f.startswith("test_") and f.endswith(".py") and f not in _PY2_FILES
    )
else:
    collect_ignore = ["test_python2.py"]


@pytest.fixture(scope="session")
def native():
    import veldra.engine

    return veldra.engine._native


@pytest.fixture(scope="session")
def locale_dir(native):
    return os.path.join(os.path.dirname(native.__file__), "locale")


@pytest.fixture(scope="session")
def catalog_text(locale_dir):
    """The text of a key as gettext reads it from the installed catalogs."""

    def text(catalog, key, language="en"):
        domain = catalog.replace(":", "_")
        t = gettext.translation(domain, locale_dir, languages=[language])
        value = t.gettext(key)
        assert value != key, "no text for %s in %s/%s" % (key, language, domain)
        return value

    return text


def children_of(pid):
    """Pids of the processes whose parent is `pid` (zombies included)."""
    kids = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid:
                kids.append(int(entry))
    return kids


def alive(pid):
    """True while `pid` runs (a zombie counts as gone)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


@pytest.fixture()
def runtime_dir(tmp_path, monkeypatch):
    """A private folder for shared sessions, so other runs stay apart."""
    d = tmp_path / "run"
    d.mkdir(mode=0o700)
    monkeypatch.setenv("XDG_RUNTIME_DIR", str(d))
    return d


def wait_for(predicate, timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return False


@pytest.fixture()
def served(runtime_dir):
    """A shared session started with `python -m veldra.engine serve`."""
    import veldra.engine as ve

    name = "api" + uuid.uuid4().hex[:10]
    proc = subprocess.Popen(
        [sys.executable, "-m", "veldra.engine", "serve", name, "--threads", "1"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    assert wait_for(lambda: name in ve.find_shared() or proc.poll() is not None)
    assert proc.poll() is None, proc.stderr.read()
    yield name, proc
    if proc.poll() is None:
        proc.terminate()
        proc.wait(10)


def run_process(argv, env=None, cwd=None, timeout=120):
    """Runs argv to its end; returns the completed process with its output
    as text (Python 2.7 has no subprocess.run)."""
    if sys.version_info[0] > 2:
        return subprocess.run(argv, env=env, cwd=cwd, capture_output=True, text=True, timeout=timeout)
    proc = subprocess.Popen(
        argv, env=env, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True
    )
    proc.stdout, proc.stderr = proc.communicate()
    return proc


def run_python(code, env=None, cwd=None):
    """Runs code in a fresh interpreter; returns the completed process."""
    full_env = {k: v for k, v in os.environ.items() if k not in ("LC_ALL", "LC_MESSAGES", "LANG")}
    full_env.update(env or {})
    return run_process([sys.executable, "-c", code], env=full_env, cwd=cwd)


@pytest.fixture(scope="session")
def live_arrays(native):
    """The number of engine arrays alive in this process."""
    import ctypes

    try:
        fn = ctypes.CDLL(native.__file__).veldra_live_arrays
    except AttributeError:
        pytest.skip("this build has no test hooks (build it with VELDRA_TEST_HOOKS=1)")
    fn.restype = ctypes.c_size_t
    return fn


@pytest.fixture(scope="module")
def engine(native):
    """A launched engine shared by the tests of a module (some tests stop
    the client runtime, which closes every engine)."""
    native.createProcess()
    handle = native.getVELDRA(native.createVELDRAAsync([]))
    yield handle
    try:
        native.closeVELDRA(handle)
    except SystemError:
        pass  # already gone with the runtime


class Caller:
    """Calls engine functions through the module functions."""

    def __init__(self, native, engine):
        self.m = native
        self.engine = engine

    def submit(self, name, *args, **streams):
        nout = streams.pop("nout", 1)
        return self.m.evaluateFunction(self.engine, name, nout, args, **streams)

    def result(self, handles, nout=1, timeout=None, **streams):
        try:
            return self.m.getFEvalResult(handles, nout, timeout, **streams)
        finally:
            self.m.destroyFEvalResult(handles)

    def __call__(self, name, *args, **streams):
        nout = streams.pop("nout", 1)
        return self.result(self.submit(name, *args, nout=nout, **streams), nout, **streams)


@pytest.fixture(scope="module")
def call(native, engine):
    return Caller(native, engine)


@pytest.fixture(scope="session")
def ticker_plugin(tmp_path_factory):
    """plugins/ticker.cpp built against the installed headers: ticker(count,
    seconds) writes numbered lines to both streams, waiting in between."""
    import shutil
    import veldra.engine as ve

    compiler = shutil.which("c++") or shutil.which("g++")
    if not compiler:
        pytest.skip("no C++ compiler")
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "plugins", "ticker.cpp")
    library = str(tmp_path_factory.mktemp("ticker") / "libticker.so")
    subprocess.check_call(
        [compiler, "-std=c++17", "-shared", "-fPIC", "-O0", "-I", ve.get_include(), source, "-o", library]
    )
    return library
