from typing import Any, Iterator, Tuple

from veldra._vdarray import (
    double as double,
    single as single,
    int8 as int8,
    int16 as int16,
    int32 as int32,
    int64 as int64,
    uint8 as uint8,
    uint16 as uint16,
    uint32 as uint32,
    uint64 as uint64,
    logical as logical,
)

__version__: str

# References to objects living in an engine; published by veldra.engine.
class object:
    @property
    def size(self) -> Tuple[int, ...]: ...
    def __len__(self) -> int: ...
    def __getitem__(self, i: int) -> object: ...
    def __iter__(self) -> Iterator[object]: ...
    def __eq__(self, other: Any) -> bool: ...
    def __ne__(self, other: Any) -> bool: ...
