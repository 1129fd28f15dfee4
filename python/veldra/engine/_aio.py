"""Awaiting futures in asyncio (Python 3 only; imported when awaited)."""
import asyncio


def await_call(future):
    """``await call_future``: the result; cancelling the awaiting task
    cancels the call."""
    return asyncio.wrap_future(future).__await__()


def await_launch(launch):
    """``await launch_future``: the engine, waited for in the loop's default
    executor so that the loop goes on."""
    return asyncio.get_running_loop().run_in_executor(
        None, launch.result).__await__()
