"""LZH8 decoding and packing, through libostrel.

    >>> import ostrel
    >>> packed = ostrel.compress(b"abc" * 1000)
    >>> ostrel.decompress(packed) == b"abc" * 1000
    True
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

__all__ = ["Error", "compress", "decompress", "decompress_into", "decompressed_size"]
