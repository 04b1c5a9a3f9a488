# Type hints of the compiled core; ReadableBuffer and WriteableBuffer are
# typeshed's names for objects with the buffer protocol.
from _typeshed import ReadableBuffer, WriteableBuffer

class Error(ValueError):
    """A failure of the library: its words, and its result code."""

    code: int

__version__: str

def decompressed_size(data: ReadableBuffer) -> int: ...
def decompress(data: ReadableBuffer, *, threads: int = 0) -> bytes: ...
def decompress_into(data: ReadableBuffer, buffer: WriteableBuffer, *, threads: int = 0) -> int: ...
def compress(data: ReadableBuffer, level: int = ..., threads: int = 0) -> bytes: ...
