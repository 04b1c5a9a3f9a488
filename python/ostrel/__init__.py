"""LZH8 decoding and packing, through libostrel.

    >>> import ostrel
    >>> packed = ostrel.compress(b"abc" * 1000)
    >>> ostrel.decompress(packed) == b"abc" * 1000
    True

Files, as with gzip and bz2:

    >>> with ostrel.open("notes.txt.lzh8", "wt") as f:
    ...     f.write("first line\nsecond line\n")
    >>> with ostrel.open("notes.txt.lzh8", "rt") as f:
    ...     for line in f:
    ...         print(line, end="")

Decompressor and Compressor take data in pieces; python -m ostrel packs
and unpacks files from the command line.
"""


def _in_subinterpreter():
    try:
        import _interpreters as interpreters  # Python 3.13 and later
    except ImportError:
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            return False
    return interpreters.get_current() != interpreters.get_main()


# The core's bindings keep one state for the process, reached through the
# main interpreter: a subinterpreter would wait on it forever.
if _in_subinterpreter():
    raise ImportError("ostrel cannot be imported in a subinterpreter")
del _in_subinterpreter

from ostrel._ostrel import (
    Error,
    __version__,
    compress,
    decompress,
    decompress_into,
    decompressed_size,
)
from ostrel._files import Compressor, Decompressor, LZH8File, open

__all__ = [
    "Compressor",
    "Decompressor",
    "Error",
    "LZH8File",
    "compress",
    "decompress",
    "decompress_into",
    "decompressed_size",
    "open",
]
