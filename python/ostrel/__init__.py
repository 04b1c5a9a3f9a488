"""LZH8 decoding and packing, through libostrel.

    >>> import ostrel
    >>> packed = ostrel.compress(b"abc" * 1000)
    >>> ostrel.decompress(packed) == b"abc" * 1000
    True
"""

from ostrel._ostrel import (
    Error,
    __version__,
    compress,
    decompress,
    decompress_into,
    decompressed_size,
)

__all__ = ["Error", "compress", "decompress", "decompress_into", "decompressed_size"]
