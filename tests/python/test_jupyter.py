"""In a notebook the text of a running engine call shows under its cell:
a real kernel, started here, runs a call that prints and would go on for
minutes; the test interrupts it once the text has come, so the text can
only have come while the call ran."""

import os
import sys

import pytest

jupyter_client = pytest.importorskip("jupyter_client")
pytest.importorskip("ipykernel")

# Generous: a kernel starts slowly on a loaded machine.
TIMEOUT = 120


@pytest.fixture()
def kernel():
    manager = jupyter_client.KernelManager(kernel_name="python3")
    manager.start_kernel(
        extra_arguments=["--HistoryManager.enabled=False"], env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    )
    client = manager.client()
    client.start_channels()
    try:
        client.wait_for_ready(timeout=TIMEOUT)
        yield manager, client
    finally:
        client.stop_channels()
        manager.shutdown_kernel(now=True)


def run(client, code):
    """Runs a cell; its iopub messages up to the end of the cell."""
    msg_id = client.execute(code)
    messages = []
    while True:
        msg = client.get_iopub_msg(timeout=TIMEOUT)
        if msg["parent_header"].get("msg_id") != msg_id:
            continue
        messages.append(msg)
        if msg["msg_type"] == "status" and msg["content"]["execution_state"] == "idle":
            return msg_id, messages


def test_running_call_prints_under_its_cell(kernel, ticker_plugin):
    manager, client = kernel
    _, started = run(client, "import veldra.engine as ve\neng = ve.start(['--plugin', %r])" % ticker_plugin)
    assert not [m for m in started if m["msg_type"] == "error"], started
    msg_id = client.execute("eng.ticker(1.0, 600.0, nout=0)")
    text = ""
    while "tick 1" not in text:
        msg = client.get_iopub_msg(timeout=TIMEOUT)
        if msg["parent_header"].get("msg_id") != msg_id:
            continue
        assert msg["msg_type"] != "error", msg["content"]
        if msg["msg_type"] == "stream" and msg["content"]["name"] == "stdout":
            text += msg["content"]["text"]
    # The call is still running (for ten minutes more): Ctrl-C ends it.
    manager.interrupt_kernel()
    reply = client.get_shell_msg(timeout=TIMEOUT)
    while reply["parent_header"].get("msg_id") != msg_id:
        reply = client.get_shell_msg(timeout=TIMEOUT)
    assert reply["content"]["status"] == "error"
    assert reply["content"]["ename"] == "KeyboardInterrupt"
    _, closed = run(client, "eng.close()")
    assert not [m for m in closed if m["msg_type"] == "error"], closed
