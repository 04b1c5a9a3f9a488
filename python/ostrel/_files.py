"""LZH8 files as Python's gzip, bz2 and lzma modules give theirs: open(),
LZH8File, Decompressor and Compressor.

Where LZH8 differs from those formats:

- A file's header declares its decoded size, so a file cannot be written
  before all of it is known: LZH8File in a writing mode gathers what it is
  given (in memory, then in a temporary file past 64 MiB) and packs it when
  it is closed, and Compressor returns b"" until flush().
- A file is one stream and declares its own end, so reading stops there:
  bytes after it (a second file appended with mode "a", or anything else)
  are not read, where gzip goes on to the next member.
- A file carries no checksum: a damaged file may read to wrong bytes.
"""

import builtins
import io
import mmap
import os
import tempfile

from ostrel._ostrel import _StreamDecoder, compress

__all__ = ["Compressor", "Decompressor", "LZH8File", "open"]

_READ_SIZE = 64 * 1024
_GATHERED_IN_MEMORY = 64 * 1024 * 1024
_TRUNCATED = 2  # the library's result code for a file cut short


class Decompressor:
    """Decodes one LZH8 file given in pieces, as bz2.BZ2Decompressor and
    lzma.LZMADecompressor do, in fixed memory whatever the file's size.

    decompress(data, max_length=-1) returns the bytes decoded so far, at
    most max_length of them when it is not negative. eof is true once the
    file is done; unused_data then holds what followed it. needs_input is
    false while it holds input or output that a further call would give
    out without more data. A file that ends early is not an error here,
    since more may come: eof stays false.
    """

    def __init__(self):
        self._decoder = _StreamDecoder()
        self._input = b""
        self.eof = False
        self.unused_data = b""
        self.needs_input = True

    def decompress(self, data, max_length=-1):
        if self.eof:
            raise EOFError("End of stream already reached")
        data = bytes(data)
        if self._input:
            data = self._input + data
        out, used, done = self._decoder.decode(data, max_length)
        rest = data[used:]
        if done:
            self.eof = True
            self.unused_data = rest
            self._input = b""
            self.needs_input = False
        else:
            self._input = rest
            limited = max_length >= 0 and len(out) >= max_length
            self.needs_input = not rest and not limited
        return out

    @property
    def declared_size(self):
        """The size the file's header declares, or None before it is read."""
        return self._decoder.declared_size


class Compressor:
    """Packs data given in pieces into one LZH8 file. The file's header
    declares its decoded size, so nothing can be written before all of it
    is given: compress() gathers the data and returns b"", and flush()
    returns the whole file.
    """

    def __init__(self, level=6, threads=0):
        self._level = level
        self._threads = threads
        self._pieces = []
        self._flushed = False
        compress(b"", level, threads)  # the arguments checked now

    def compress(self, data):
        if self._flushed:
            raise ValueError("Compressor has been flushed")
        self._pieces.append(bytes(data))
        return b""

    def flush(self):
        if self._flushed:
            raise ValueError("Repeated call to flush()")
        self._flushed = True
        data = b"".join(self._pieces)
        self._pieces = []
        return compress(data, self._level, self._threads)


class _Reader(io.RawIOBase):
    """The decoded bytes of the LZH8 file read from fp, through the stream
    decoder. Seeking forward decodes and drops; seeking back starts again
    from the file's first byte."""

    def __init__(self, fp):
        self._fp = fp
        self._decoder = _StreamDecoder()
        self._input = b""
        self._done = False
        self._pos = 0
        try:
            self._start = fp.tell()
        except (AttributeError, OSError):
            self._start = None

    def readable(self):
        return True

    def seekable(self):
        return self._start is not None and self._fp.seekable()

    def readinto(self, b):
        with memoryview(b) as view, view.cast("B") as out:
            data = self._read(len(out))
            out[: len(data)] = data
        return len(data)

    def _read(self, size):
        while not self._done and size > 0:
            if not self._input:
                self._input = self._fp.read(_READ_SIZE)
                if not self._input:
                    return self._end(size)
            out, used, self._done = self._decoder.decode(self._input, size)
            self._input = self._input[used:]
            if out:
                self._pos += len(out)
                return out
        return b""

    def _end(self, size):
        from ostrel import Error

        try:
            out, self._done = self._decoder.end(size)
        except Error as error:
            if error.code == _TRUNCATED:
                raise EOFError(
                    "Compressed file ended before the end-of-stream marker was reached"
                ) from None
            raise
        self._pos += len(out)
        return out

    def _rewind(self):
        self._fp.seek(self._start)
        self._decoder.reset()
        self._input = b""
        self._done = False
        self._pos = 0

    def seek(self, offset, whence=io.SEEK_SET):
        if whence == io.SEEK_SET:
            target = offset
        elif whence == io.SEEK_CUR:
            target = self._pos + offset
        elif whence == io.SEEK_END:
            while self._read(io.DEFAULT_BUFFER_SIZE):
                pass
            target = self._pos + offset
        else:
            raise ValueError("Invalid value for whence: {}".format(whence))
        if target < 0:
            target = 0
        if target < self._pos:
            self._rewind()
        while self._pos < target and self._read(min(target - self._pos, _READ_SIZE)):
            pass
        return self._pos

    def tell(self):
        return self._pos


def _opened(filename, mode):
    """The file object and whether this module opened it (and closes it)."""
    if isinstance(filename, (str, bytes, os.PathLike)):
        return builtins.open(filename, mode), True
    if hasattr(filename, "read") or hasattr(filename, "write"):
        return filename, False
    raise TypeError("filename must be a str, bytes or path-like object, or a file object")


class LZH8File(io.BufferedIOBase):
    """An LZH8 file as a binary file object, as gzip.GzipFile and
    bz2.BZ2File are.

    filename is a name (str, bytes or path-like) or a file object to read
    from or write to. mode is "r" (read, the default), "w" (write), "x"
    (create, failing if the file exists) or "a" (append a second LZH8 file
    after what is there), each with "b" or not.

    Reading decodes through the library's stream decoder, in fixed memory
    whatever the file's size; only the first LZH8 file is read. seek()
    moves forward by decoding and back by decoding again from the start.
    A file cut short raises EOFError, a damaged one ostrel.Error.

    Writing gathers the bytes given and packs them at close(), at level
    (1 to 9) on threads (0: every core), since the header declares the
    decoded size.
    """

    def __init__(self, filename=None, mode="r", *, level=6, threads=0):
        if mode not in ("r", "rb", "w", "wb", "x", "xb", "a", "ab"):
            raise ValueError("Invalid mode: {!r}".format(mode))
        self._fp = None
        self._buffer = None
        self._gathered = None
        writing = not mode.startswith("r")
        if writing:
            compress(b"", level, threads)  # the arguments checked before the file is touched
        self._fp, self._owns_fp = _opened(filename, mode[0] + "b")
        self.name = os.fspath(filename) if self._owns_fp else getattr(self._fp, "name", "")
        if isinstance(self.name, bytes):
            self.name = os.fsdecode(self.name)
        if writing:
            self.mode = "wb"
            self._level = level
            self._threads = threads
            self._gathered = io.BytesIO()
            self._spilled = False
            self._written = 0
        else:
            self.mode = "rb"
            self._buffer = io.BufferedReader(_Reader(self._fp), buffer_size=_READ_SIZE)

    # ---- state ----

    @property
    def closed(self):
        return self._fp is None

    def _check_open(self):
        if self._fp is None:
            raise ValueError("I/O operation on closed file.")

    def _check_reading(self):
        self._check_open()
        if self._buffer is None:
            raise io.UnsupportedOperation("File not open for reading")

    def _check_writing(self):
        self._check_open()
        if self._gathered is None:
            raise io.UnsupportedOperation("File not open for writing")

    def readable(self):
        self._check_open()
        return self._buffer is not None

    def writable(self):
        self._check_open()
        return self._gathered is not None

    def seekable(self):
        self._check_open()
        return self._buffer is not None and self._buffer.raw.seekable()

    def fileno(self):
        self._check_open()
        return self._fp.fileno()

    # ---- reading ----

    def read(self, size=-1):
        self._check_reading()
        return self._buffer.read(size)

    def read1(self, size=-1):
        self._check_reading()
        if size < 0:
            size = io.DEFAULT_BUFFER_SIZE
        return self._buffer.read1(size)

    def readinto(self, b):
        self._check_reading()
        return self._buffer.readinto(b)

    def readinto1(self, b):
        self._check_reading()
        return self._buffer.readinto1(b)

    def readline(self, size=-1):
        self._check_reading()
        return self._buffer.readline(size)

    def peek(self, n=0):
        self._check_reading()
        return self._buffer.peek(n)

    def seek(self, offset, whence=io.SEEK_SET):
        self._check_reading()
        if not self.seekable():
            raise io.UnsupportedOperation("The underlying file object does not support seeking")
        return self._buffer.seek(offset, whence)

    def tell(self):
        self._check_open()
        if self._buffer is not None:
            return self._buffer.tell()
        return self._written

    # ---- writing ----

    def write(self, data):
        self._check_writing()
        with memoryview(data) as view:
            length = view.nbytes
            self._gathered.write(view)
        self._written += length
        if not self._spilled and self._written > _GATHERED_IN_MEMORY:
            spill = tempfile.TemporaryFile()
            spill.write(self._gathered.getbuffer())
            self._gathered = spill
            self._spilled = True
        return length

    def _pack_gathered(self):
        if not self._spilled:
            with self._gathered.getbuffer() as data:
                return compress(data, self._level, self._threads)
        self._gathered.flush()
        with mmap.mmap(self._gathered.fileno(), 0, access=mmap.ACCESS_READ) as data:
            return compress(data, self._level, self._threads)

    def close(self):
        if self._fp is None:
            return
        try:
            if self._gathered is not None:
                self._fp.write(self._pack_gathered())
        finally:
            try:
                if self._gathered is not None:
                    self._gathered.close()
                if self._buffer is not None:
                    self._buffer.close()
            finally:
                fp, self._fp = self._fp, None
                self._gathered = None
                self._buffer = None
                if self._owns_fp:
                    fp.close()
                super().close()


def open(file, mode="rb", *, level=6, threads=0, encoding=None, errors=None, newline=None):
    """Opens an LZH8 file in binary or text mode, as gzip.open and bz2.open
    do: file is a name (str, bytes or path-like) or a file object; mode is
    "r", "rb", "w", "wb", "x", "xb", "a" or "ab" for an LZH8File, or "rt",
    "wt", "xt" or "at" for an io.TextIOWrapper over one with the encoding,
    errors and newline given. level and threads serve the writing modes
    (see LZH8File).
    """
    if "t" in mode:
        if "b" in mode:
            raise ValueError("Invalid mode: {!r}".format(mode))
    else:
        if encoding is not None:
            raise ValueError("Argument 'encoding' not supported in binary mode")
        if errors is not None:
            raise ValueError("Argument 'errors' not supported in binary mode")
        if newline is not None:
            raise ValueError("Argument 'newline' not supported in binary mode")
    binary = LZH8File(file, mode.replace("t", ""), level=level, threads=threads)
    if "t" in mode:
        if hasattr(io, "text_encoding"):  # Python 3.10 and later
            encoding = io.text_encoding(encoding)
        return io.TextIOWrapper(binary, encoding, errors, newline)
    return binary
