# ostrel's file objects and incremental calls, held to what gzip, bz2 and
# lzma do with the same operations on the same plain bytes.
import bz2
import gzip
import io
import os
import subprocess
import sys

import pytest

import ostrel

PLAIN = b"".join(b"%d: some words, %s\r\n" % (i, b"more " * (i % 7)) for i in range(20000))
TEXT = "".join("line %d, caf\u00e9 \u2603%s" % (i, "\r\n" if i % 3 else "\n") for i in range(3000))


def reads(opener, path):
    """What a sequence of reads, seeks and lines gives through opener."""
    seen = []
    with opener(path, "rb") as f:
        seen += [f.readable(), f.writable(), f.seekable()]
        for size in (0, 1, 7, 4096, 65536, 100000):
            seen += [f.read(size), f.tell()]
        seen += [f.readline(), f.readline(50), f.read1(10)[:0], f.tell() > 0]
        seen += [f.peek(5)[:1] == f.read(1)]
        for offset, whence in ((3, 0), (1000, 1), (-500, 1), (170000, 0), (10, 0), (-20, 2)):
            seen += [f.seek(offset, whence), f.read(30)]
        f.seek(0)
        seen += [list(f)[100:105], f.read(), f.tell()]
        buffer = bytearray(100)
        f.seek(50)
        seen += [f.readinto(buffer), bytes(buffer)]
    seen += [f.closed]
    for call in (f.read, f.readline, lambda: f.seek(0)):
        with pytest.raises(ValueError):
            call()
    return seen


def test_reading_as_gzip_reads(tmp_path):
    with gzip.open(tmp_path / "a.gz", "wb") as f:
        f.write(PLAIN)
    with ostrel.open(tmp_path / "a.lzh8", "wb") as f:
        for at in range(0, len(PLAIN), 9999):
            f.write(PLAIN[at : at + 9999])
    assert reads(ostrel.open, tmp_path / "a.lzh8") == reads(gzip.open, tmp_path / "a.gz")
    # A file object in, any name given as str, bytes or a path.
    with open(tmp_path / "a.lzh8", "rb") as raw, ostrel.open(raw) as f:
        assert f.read() == PLAIN and f.name == str(tmp_path / "a.lzh8")
    with ostrel.LZH8File(os.fsencode(tmp_path / "a.lzh8")) as f:
        assert f.read() == PLAIN and f.mode == "rb" and f.fileno() > 2


def test_text_writing_and_modes_as_gzip(tmp_path):
    for newline in (None, "", "\n", "\r\n"):
        results = []
        for module, name in ((gzip, "t.gz"), (ostrel, "t.lzh8")):
            path = tmp_path / name
            with module.open(path, "wt", encoding="utf-8", newline=newline) as f:
                f.write(TEXT)
            with module.open(path, "rt", encoding="utf-8", newline=newline) as f:
                results.append((list(f)[:9], f.tell() > 0))
            with module.open(path, "rt", encoding="latin-1", errors="replace") as f:
                results.append(f.read(40))
        assert results[:2] == results[2:], newline
    for module, name in ((gzip, "t.gz"), (ostrel, "t.lzh8")):
        with pytest.raises(FileExistsError):
            module.open(tmp_path / name, "xb")
        with module.open(tmp_path / ("new-" + name), "x") as f:
            f.write(b"made")
        for mode in ("rtb", "z"):
            with pytest.raises(ValueError):
                module.open(tmp_path / name, mode)
        with pytest.raises(ValueError):
            module.open(tmp_path / name, "rb", encoding="utf-8")
    assert ostrel.decompress((tmp_path / "new-t.lzh8").read_bytes()) == b"made"


def test_append_writes_a_second_file_that_reading_stops_before(tmp_path, monkeypatch):
    path = tmp_path / "a.lzh8"
    with ostrel.open(path, "w", level=1) as f:
        f.write(b"first")
    # Past the threshold, what is written is gathered in a temporary file.
    monkeypatch.setattr(ostrel._files, "_GATHERED_IN_MEMORY", 1000)
    with ostrel.open(path, "ab", level=9, threads=1) as f:
        for at in range(0, len(PLAIN), 777):
            f.write(memoryview(PLAIN)[at : at + 777])
        assert f._spilled
        assert f.tell() == len(PLAIN) and not f.seekable()
        with pytest.raises(io.UnsupportedOperation):
            f.read()
    with ostrel.open(path) as f:
        assert f.read() == b"first"
    packed = path.read_bytes()
    d = ostrel.Decompressor()
    assert d.decompress(packed) == b"first" and d.eof
    assert ostrel.decompress(d.unused_data) == PLAIN


def test_cut_and_damaged_files_raise_as_the_standard_library(tmp_path):
    packed = ostrel.compress(PLAIN)
    for cut in (3, 20, len(packed) // 2, len(packed) - 1):
        with ostrel.open(io.BytesIO(packed[:cut])) as f:
            with pytest.raises(EOFError):
                f.read()
    damaged = bytearray(packed)
    damaged[0] = 0x41
    with pytest.raises(ostrel.Error, match="not LZH8"):
        ostrel.open(io.BytesIO(bytes(damaged))).read()
    # Reading stops at the file's own end, whatever follows.
    with ostrel.open(io.BytesIO(packed + b"trailing")) as f:
        assert f.read() == PLAIN


def decompressor_pieces(d, data, piece, max_length):
    """The output, and the bytes given up to the piece where the file ended."""
    out = []
    for at in range(0, len(data), piece):
        out.append(d.decompress(data[at : at + piece], max_length))
        while not d.needs_input and not d.eof:
            out.append(d.decompress(b"", max_length))
        if d.eof:
            return b"".join(out), at + piece
    return b"".join(out), len(data)


def test_decompressor_as_bz2_and_lzma():
    packed = ostrel.compress(PLAIN)
    for piece in (1, 100, 70000, len(packed)):
        for max_length in (-1, 1, 5000):
            d = ostrel.Decompressor()
            out, given = decompressor_pieces(d, packed + b"xyz", piece, max_length)
            assert out == PLAIN and d.eof and not d.needs_input
            assert d.unused_data == (packed + b"xyz")[len(packed) : given]
            with pytest.raises(EOFError):
                d.decompress(b"more")
    # As bz2's: max_length keeps the input that it could not use, and
    # needs_input says so.
    d, b = ostrel.Decompressor(), bz2.BZ2Decompressor()
    for one, data in ((d, packed), (b, bz2.compress(PLAIN))):
        assert len(one.decompress(data, 100)) == 100 and not one.needs_input
        assert len(one.decompress(b"", 0)) == 0
        rest = one.decompress(b"")
        assert len(rest) == len(PLAIN) - 100 and one.eof
    d = ostrel.Decompressor()
    assert d.decompress(packed[:5]) == b"" and d.needs_input and not d.eof
    assert d.declared_size == len(PLAIN)
    with pytest.raises(ostrel.Error, match="not LZH8"):
        ostrel.Decompressor().decompress(b"\x41abcdefgh")


def test_compressor_gives_the_whole_file_at_flush():
    c = ostrel.Compressor(level=9, threads=2)
    pieces = range(0, len(PLAIN), 5000)
    assert [c.compress(PLAIN[at : at + 5000]) for at in pieces] == [b""] * len(pieces)
    packed = c.flush()
    assert packed == ostrel.compress(PLAIN, 9)
    for call in (lambda: c.compress(b"x"), c.flush):
        with pytest.raises(ValueError):
            call()
    with pytest.raises(ValueError):
        ostrel.Compressor(level=10)


BOUNDED = """
import sys, ostrel
def peak():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM"))
before, total = peak(), 0
with ostrel.open(sys.argv[1]) as f:
    while piece := f.read(1 << 20):
        total += len(piece)
print(total, (peak() - before) // 1024)
"""


def test_a_large_file_reads_in_bounded_memory(tmp_path):
    plain = b"".join(b"%09d with a few words\n" % i for i in range(9_000_000))
    assert len(plain) >= 200_000_000
    path = tmp_path / "large.lzh8"
    path.write_bytes(ostrel.compress(plain, 1))
    size = len(plain)
    del plain
    run = subprocess.run([sys.executable, "-c", BOUNDED, str(path)], capture_output=True, check=True)
    total, grown_mib = map(int, run.stdout.split())
    assert total == size
    assert grown_mib < 16


HUGE = """
import resource, ostrel
resource.setrlimit(resource.RLIMIT_AS, (600 << 20, 600 << 20))
# 4 GiB declared in a 30-byte file: refused or decoded to its failure,
# never allocated.
data = b"\\x40\\x00\\x00\\x00\\xff\\xff\\xff\\xff" + bytes(22)
for call in (lambda: ostrel.decompress(data), lambda: ostrel.decompress(data, max_length=1000)):
    try:
        call()
    except ostrel.Error as error:
        print(error.code, error)
"""


def test_impossible_and_limited_sizes_are_refused_before_allocation():
    run = subprocess.run([sys.executable, "-c", HUGE], capture_output=True, text=True, check=True)
    assert run.stdout.splitlines() == [
        "3 corrupt length tree",
        "6 declared size 4294967295 exceeds max_length 1000",
    ]


def run_module(*args, cwd, stdin=b""):
    return subprocess.run(
        [sys.executable, "-m", "ostrel", *args], cwd=cwd, input=stdin, capture_output=True
    )


def test_python_m_ostrel_packs_and_unpacks(tmp_path):
    (tmp_path / "a.txt").write_bytes(PLAIN)
    (tmp_path / "b.txt").write_bytes(b"")
    assert run_module("-9", "a.txt", "b.txt", cwd=tmp_path).returncode == 0
    assert ostrel.decompress((tmp_path / "a.txt.lzh8").read_bytes()) == PLAIN
    refused = run_module("-d", "a.txt.lzh8", cwd=tmp_path)
    assert refused.returncode == 1
    assert refused.stderr == b"python -m ostrel: a.txt: already exists; -f replaces it\n"
    os.remove(tmp_path / "a.txt")
    assert run_module("-df", "a.txt.lzh8", "b.txt.lzh8", cwd=tmp_path).returncode == 0
    assert (tmp_path / "a.txt").read_bytes() == PLAIN
    assert (tmp_path / "b.txt").read_bytes() == b""
    piped = run_module("-c", "-d", "a.txt.lzh8", cwd=tmp_path)
    assert piped.returncode == 0 and piped.stdout == PLAIN
    packed = run_module(cwd=tmp_path, stdin=PLAIN).stdout
    assert run_module("-d", "-", cwd=tmp_path, stdin=packed).stdout == PLAIN
    cut = run_module("-d", cwd=tmp_path, stdin=packed[:100])
    assert cut.returncode == 1 and b"ended before" in cut.stderr
    # A failure leaves no output, and no temporary file.
    (tmp_path / "bad.lzh8").write_bytes(b"\x41 not lzh8")
    bad = run_module("-d", "bad.lzh8", cwd=tmp_path)
    assert bad.returncode == 1 and bad.stderr == b"python -m ostrel: bad.lzh8: not LZH8\n"
    assert sorted(os.listdir(tmp_path)) == ["a.txt", "a.txt.lzh8", "b.txt", "b.txt.lzh8", "bad.lzh8"]
