# Type hints of ostrel's file objects and incremental calls.
import io
import os
from typing import IO, Literal, overload

from _typeshed import ReadableBuffer, WriteableBuffer

_Name = str | bytes | os.PathLike[str] | os.PathLike[bytes]
_BinaryMode = Literal["r", "rb", "w", "wb", "x", "xb", "a", "ab"]
_TextMode = Literal["rt", "wt", "xt", "at"]

class Decompressor:
    eof: bool
    unused_data: bytes
    needs_input: bool
    def __init__(self) -> None: ...
    def decompress(self, data: ReadableBuffer, max_length: int = -1) -> bytes: ...
    @property
    def declared_size(self) -> int | None: ...

class Compressor:
    def __init__(self, level: int = 6, threads: int = 0) -> None: ...
    def compress(self, data: ReadableBuffer) -> bytes: ...
    def flush(self) -> bytes: ...

class LZH8File(io.BufferedIOBase):
    name: str
    mode: str
    def __init__(
        self,
        filename: _Name | IO[bytes] | None = None,
        mode: _BinaryMode = "r",
        *,
        level: int = 6,
        threads: int = 0,
    ) -> None: ...
    def read(self, size: int | None = -1) -> bytes: ...
    def read1(self, size: int = -1) -> bytes: ...
    def readinto(self, b: WriteableBuffer) -> int: ...
    def readinto1(self, b: WriteableBuffer) -> int: ...
    def readline(self, size: int | None = -1) -> bytes: ...
    def peek(self, n: int = 0) -> bytes: ...
    def seek(self, offset: int, whence: int = 0) -> int: ...
    def tell(self) -> int: ...
    def write(self, data: ReadableBuffer) -> int: ...

@overload
def open(
    file: _Name | IO[bytes],
    mode: _BinaryMode = "rb",
    *,
    level: int = 6,
    threads: int = 0,
    encoding: None = None,
    errors: None = None,
    newline: None = None,
) -> LZH8File: ...
@overload
def open(
    file: _Name | IO[bytes],
    mode: _TextMode,
    *,
    level: int = 6,
    threads: int = 0,
    encoding: str | None = None,
    errors: str | None = None,
    newline: str | None = None,
) -> io.TextIOWrapper: ...
