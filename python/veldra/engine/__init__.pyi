from typing import Optional

from . import _native as _native
from ._api import (
    CallFuture as CallFuture,
    Engine as Engine,
    EngineFunction as EngineFunction,
    LaunchFuture as LaunchFuture,
    Workspace as Workspace,
    connect as connect,
    find_shared as find_shared,
    start as start,
)
from ._pool import Pool as Pool, PoolFuture as PoolFuture

__all__: list[str]

class EngineError(Exception): ...
class TimeoutError(Exception): ...
class InterruptedError(Exception): ...
class CancelledError(Exception): ...

class VeldraExecutionError(Exception):
    # The engine's name of the failure, e.g. "veldra:sqrt:badType".
    identifier: Optional[str]
