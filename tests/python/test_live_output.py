"""Text an engine function writes while it runs reaches its stream before the
call ends, in order, and none of it is lost or doubled."""

import io
import threading

import pytest

import veldra.engine as ve


@pytest.fixture(scope="module")
def eng(ticker_plugin):
    with ve.start(["--plugin", ticker_plugin]) as engine:
        yield engine


def lines(word, count):
    return "".join("%s %d\n" % (word, i) for i in range(1, count + 1))


class Stop(Exception):
    pass


class Recorder(object):
    """A stream that is not an io.StringIO, so text is forwarded to it."""

    def __init__(self, stop=False):
        self.parts = []
        self.stop = stop

    def write(self, text):
        self.parts.append(text)
        if self.stop:
            raise Stop()

    def text(self):
        return "".join(self.parts)


@pytest.mark.parametrize("how", ["call", "submit"])
@pytest.mark.parametrize("stream", ["stdout", "stderr"])
def test_first_line_arrives_while_the_call_runs(eng, how, stream):
    # The call would take a minute; the stream stops the wait at its first
    # text, which can only have come while the call ran.
    probe = Recorder(stop=True)
    streams = {"stdout": None, "stderr": None}
    streams[stream] = probe
    future = eng.submit("ticker", 1.0, 60.0, nout=0, **streams) if how == "submit" else None
    outcome = []

    def wait():
        try:
            if future is None:
                eng.ticker(1.0, 60.0, nout=0, **streams)
            else:
                future.result()
        except BaseException as exc:  # noqa: BLE001 - looked at below
            outcome.append(exc)

    waiter = threading.Thread(target=wait)
    waiter.start()
    waiter.join(30)
    assert not waiter.is_alive(), "no text came while the call ran"
    assert len(outcome) == 1 and isinstance(outcome[0], Stop)
    assert probe.text() == ("tick 1\n" if stream == "stdout" else "tock 1\n")
    if future is not None:
        assert not future.done()
        assert future.cancel()
    assert eng.identity(1.0) == 1.0  # the engine is free again


@pytest.mark.parametrize("how", ["callback", "await"])
def test_background_collected_future_forwards_while_running(eng, how):
    # Nobody waits on result(): the engine's background waiter collects this
    # future, and it forwards the text of the running call too.
    import asyncio
    import time

    out = Recorder()
    future = eng.submit("ticker", 1.0, 60.0, nout=0, stdout=out)

    def arrived():
        deadline = time.monotonic() + 30
        while not out.parts and time.monotonic() < deadline:
            time.sleep(0.01)
        return out.text()

    if how == "callback":
        future.add_done_callback(lambda f: None)
        text = arrived()
    else:

        async def main():
            task = asyncio.ensure_future(future)
            text = await asyncio.get_running_loop().run_in_executor(None, arrived)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            return text

        text = asyncio.run(main())
    assert text == "tick 1\n"
    future.cancel()
    # Settled and released before the next test counts the live arrays.
    with pytest.raises(ve.CancelledError):
        future.result(30)
    assert eng.identity(1.0) == 1.0


@pytest.mark.parametrize("how", ["call", "submit"])
@pytest.mark.parametrize("kind", [Recorder, io.StringIO])
def test_whole_text_in_order(eng, how, kind):
    out, err = kind(), kind()
    if how == "call":
        eng.ticker(12.0, 0.02, stdout=out, stderr=err, nout=0)
    else:
        eng.submit("ticker", 12.0, 0.02, stdout=out, stderr=err, nout=0).result()
    text = (lambda s: s.text()) if kind is Recorder else (lambda s: s.getvalue())
    assert text(out) == lines("tick", 12)
    assert text(err) == lines("tock", 12)


@pytest.fixture(scope="module")
def handle(native, ticker_plugin):
    native.createProcess()
    h = native.getVELDRA(native.createVELDRAAsync(["--plugin", ticker_plugin]))
    yield h
    native.closeVELDRA(h)


@pytest.mark.parametrize("take", [False, True])
def test_capture_buffers_hold_the_text_not_taken(native, handle, take):
    out, err = io.StringIO(), io.StringIO()
    handles = native.evaluateFunction(handle, "ticker", 0, (6.0, 0.02), out=out, err=err)
    taken = ["", ""]
    try:
        if take:
            while not taken[0]:
                part = native.takeFEvalOutput(handles)
                taken = [t + (p or "") for t, p in zip(taken, part)]
                native.waitForFEval(handles, 0.01)
        native.getFEvalResult(handles, 0, None, out=out, err=err)
    finally:
        native.destroyFEvalResult(handles)
    assert taken[0] + out.getvalue() == lines("tick", 6)
    assert taken[1] + err.getvalue() == lines("tock", 6)
    assert not take or taken[0].startswith("tick 1\n")


def test_cancelled_call_keeps_the_text_so_far(native, handle):
    out = io.StringIO()
    handles = native.evaluateFunction(handle, "ticker", 0, (1.0, 60.0), out=out, err=io.StringIO())
    try:
        # Only the error stream is taken: once its line is in, the output's,
        # written and sent before it, is too.
        err_only = (handles[0], 0, handles[2])
        seen = ""
        while not seen:
            native.waitForFEval(handles, 0.01)
            seen = native.takeFEvalOutput(err_only)[1] or ""
        assert seen == "tock 1\n"
        assert native.cancelFEval(handles)
        with pytest.raises(ve.CancelledError):
            native.getFEvalResult(handles, 0, None, out=out)
    finally:
        native.destroyFEvalResult(handles)
    assert out.getvalue() == "tick 1\n"


# ---- progress ---------------------------------------------------------------


def test_progress_arrives_while_the_call_runs(eng):
    reports = []

    def progress(done, total):
        reports.append((done, total))
        raise Stop()

    future = eng.submit("sleep", 60.0, nout=0, progress=progress)
    with pytest.raises(Stop):
        future.result(timeout=30)
    assert not future.done()
    assert future.cancel()
    assert len(reports) == 1 and reports[0][1] == 60.0 and 0 <= reports[0][0] < 60.0


@pytest.mark.parametrize("shown", [False, True])
def test_progress_ends_with_the_last_report(eng, capsys, shown):
    if shown:
        pytest.importorskip("tqdm")
        eng.submit("sleep", 0.3, nout=0, progress=True).result()
        assert "100%" in capsys.readouterr().err
    else:
        reports = []
        eng.submit("sleep", 0.3, nout=0, progress=lambda *r: reports.append(r)).result()
        assert reports[-1] == (0.3, 0.3)
        assert [d for d, _ in reports] == sorted(d for d, _ in reports)
