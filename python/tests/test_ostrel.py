"""The Python module against the C library it binds (through ctypes)."""

import array
import ctypes
import mmap
import os
import pathlib
import subprocess
import sys
import threading
import time

import pytest

import ostrel

library = ctypes.CDLL(os.environ["OSTREL_LIBRARY"])
library.lzh8_result_text.restype = ctypes.c_char_p
library.lzh8_version.restype = ctypes.c_char_p
library.lzh8_pack_bound.restype = ctypes.c_size_t
library.lzh8_pack_bound.argtypes = [ctypes.c_size_t]


def c_decode(data):
    """lzh8_decode's result and its words, into room for any size."""
    size = ctypes.c_size_t()
    library.lzh8_decoded_size(data, ctypes.c_size_t(len(data)), ctypes.byref(size))
    out = ctypes.create_string_buffer(max(size.value, 1))
    result = library.lzh8_decode(data, ctypes.c_size_t(len(data)), out,
                                 ctypes.c_size_t(size.value), ctypes.byref(size))
    return result, library.lzh8_result_text(result).decode()


def c_pack(data, level):
    out = ctypes.create_string_buffer(library.lzh8_pack_bound(len(data)))
    size = ctypes.c_size_t()
    assert library.lzh8_pack(data, ctypes.c_size_t(len(data)), out, ctypes.c_size_t(len(out)),
                             ctypes.byref(size), level, 1) == 0
    return out.raw[:size.value]


def letters(count, alphabet=16):
    """Random letters: literals and short matches."""
    table = bytes(97 + value % alphabet for value in range(256))
    return os.urandom(count).translate(table)


KINDS = {
    "empty": b"",
    "one byte": b"\x7f",
    "text": b" ".join(b"word%d" % (i % 997) for i in range(40000)),
    "letters": letters(300000),
    "noise": os.urandom(70000),
    "runs": b"a" * 100000 + b"b" * 3 + b"c" * 70000,
    "binary": pathlib.Path(ostrel._ostrel.__file__).read_bytes()[:200000],
}


@pytest.mark.parametrize("level", range(10))
def test_round_trips_at_every_level_as_the_library_packs(level):
    for name, data in KINDS.items():
        packed = ostrel.compress(data, level)
        assert packed == c_pack(data, level), name
        assert ostrel.decompress(packed) == data, name
        assert ostrel.decompressed_size(packed) == len(data)


def test_damaged_files_raise_the_library_s_words(tmp_path):
    subprocess.run([os.environ["OSTREL_SEEDS"], str(tmp_path)], check=True)
    packed = ostrel.compress(KINDS["text"][:3000], 9)
    cases = [path.read_bytes() for path in tmp_path.glob("refusal_*")]
    cases += [packed[:length] for length in range(0, len(packed), 3)]
    cases += [packed[:i] + bytes([packed[i] ^ 0x10]) + packed[i + 1:] for i in range(len(packed))]
    for data in cases:
        result, text = c_decode(data)
        if result == 0:
            assert len(ostrel.decompress(data)) == ostrel.decompressed_size(data)
            continue
        with pytest.raises(ostrel.Error) as raised:
            ostrel.decompress(data)
        assert str(raised.value) == text and raised.value.code == result


def test_every_buffer_type_in_and_out():
    data = KINDS["letters"]
    packed = ostrel.compress(data)
    with mmap.mmap(-1, len(packed)) as mapped:
        mapped[:] = packed
        sources = [packed, bytearray(packed), memoryview(packed), mapped,
                   array.array("B", packed), memoryview(b"xy" + packed + b"z")[2:-1]]
        for source in sources:
            assert ostrel.decompress(source) == data, type(source)
    room = bytearray(len(data) + 10)
    assert ostrel.decompress_into(packed, memoryview(room)[5:5 + len(data)]) == len(data)
    assert room[5:5 + len(data)] == data and room[:5] == room[-5:] == bytes(5)
    short = bytearray(len(data) - 1)
    with pytest.raises(ostrel.Error) as raised:
        ostrel.decompress_into(packed, short)
    assert raised.value.code == 6 and str(raised.value) == "output buffer too small"
    assert short == bytes(len(short))
    numpy = pytest.importorskip("numpy")
    array_out = numpy.zeros(len(data), dtype=numpy.uint8)
    assert ostrel.decompress_into(numpy.frombuffer(packed, dtype=numpy.uint8), array_out)
    assert array_out.tobytes() == data


def test_threads_give_the_same_bytes_and_failures():
    data = letters(3 << 20) + KINDS["text"] * 40
    packed = ostrel.compress(data, 1)
    cut = packed[:len(packed) * 2 // 3]
    for threads in (0, 1, 2, 8):
        assert ostrel.decompress(packed, threads=threads) == data
        out = bytearray(len(data))
        assert ostrel.decompress_into(packed, out, threads=threads) == len(data) and out == data
        with pytest.raises(ostrel.Error) as raised:
            ostrel.decompress(cut, threads=threads)
        assert str(raised.value) == "unexpected EOF"
    for wrong in (-1, 2 ** 40):
        with pytest.raises(ValueError):
            ostrel.decompress(packed, threads=wrong)


def test_wrong_arguments():
    for wrong in (42, "text", None):
        with pytest.raises(TypeError):
            ostrel.decompress(wrong)
    with pytest.raises(TypeError):
        ostrel.decompress_into(b"@", b"read-only")
    for level in (-1, 10, 2 ** 70):
        with pytest.raises(ValueError):
            ostrel.compress(b"abc", level)
    assert issubclass(ostrel.Error, ValueError)
    assert ostrel.__version__ == library.lzh8_version().decode()
    assert "decompress(data, *, max_length=None, threads=0) -> bytes" in ostrel.decompress.__doc__


def test_threads_decode_inside_the_library_at_once():
    """Two threads decode at once: a third sees both outputs part-written
    at one moment, which a call that held the GIL would never let it see."""
    data = letters(24 << 20)
    packed = ostrel.compress(data, 1)
    outputs = [bytearray(len(data)), bytearray(len(data))]
    start = threading.Barrier(3)

    # On one thread each, so that each output is written through the whole
    # call, not only in the replay that ends a call on several.
    def decode(output):
        start.wait()
        ostrel.decompress_into(packed, output, threads=1)

    threads = [threading.Thread(target=decode, args=(output,)) for output in outputs]
    for thread in threads:
        thread.start()
    start.wait()
    both_inside = False
    while any(thread.is_alive() for thread in threads) and not both_inside:
        both_inside = all(output[0] != 0 and output[-1] == 0 for output in outputs)
    for thread in threads:
        thread.join()
    assert both_inside
    assert outputs[0] == outputs[1] == data


FLIP_SIZE = """
import mmap, sys, time
with open(sys.argv[1], "r+b") as file, mmap.mmap(file.fileno(), 0) as shared:
    sizes = [(300000).to_bytes(3, "little"), (1000).to_bytes(3, "little")]
    end = time.monotonic() + float(sys.argv[2])
    print("flipping", flush=True)
    while time.monotonic() < end:
        for size in sizes * 1000:
            shared[1:4] = size
"""


def test_a_header_changed_meanwhile_never_yields_bytes_not_written(tmp_path):
    """Another process rewrites the declared size in a shared mapping while
    decompress reads it: every result is the file's bytes cut to the size
    read (one or the other, or a mix of their bytes when the read falls
    within a write), or an error; never memory the decoder did not write."""
    data = letters(300000)
    path = tmp_path / "shared.lzh8"
    path.write_bytes(ostrel.compress(data, 1))
    flipper = subprocess.Popen([sys.executable, "-c", FLIP_SIZE, str(path), "20"],
                               stdout=subprocess.PIPE)
    sizes = set()
    try:
        assert flipper.stdout.readline() == b"flipping\n"
        # On a loaded machine the flipper may hold one size for a whole
        # time slice, so the reads go on until both sizes were met.
        deadline = time.monotonic() + 15
        with open(path, "r+b") as file, mmap.mmap(file.fileno(), 0) as shared:
            tries = 0
            while ((tries < 2000 or not {len(data), 1000} <= sizes)
                   and time.monotonic() < deadline):
                tries += 1
                try:
                    decoded = ostrel.decompress(shared)
                except ostrel.Error:
                    continue
                # A mixed size above the file's decodes on into the
                # stream's last bits, or fails.
                assert decoded[:len(data)] == data[:len(decoded)]
                sizes.add(len(decoded))
    finally:
        flipper.kill()
        flipper.wait()
    assert {len(data), 1000} <= sizes


def test_overlapping_input_and_output_are_refused():
    data = letters(5000)
    packed = ostrel.compress(data)
    room = bytearray(len(packed) + 2 * len(data))
    view = memoryview(room)
    for start in (0, 1, len(packed) // 2, len(packed) - 1, len(packed)):
        room[start:start + len(packed)] = packed
        source = view[start:start + len(packed)]
        for out_start in (0, start + len(packed) - 1, start + 1):
            out = view[out_start:out_start + len(data)]
            if out_start + len(data) > start and out_start < start + len(packed):
                with pytest.raises(ValueError) as raised:
                    ostrel.decompress_into(source, out)
                assert type(raised.value) is ValueError
        apart = view[start + len(packed):start + len(packed) + len(data)]
        assert ostrel.decompress_into(source, apart) == len(data)
        assert apart == data


SUBINTERPRETER = """
import sys
import _xxsubinterpreters as interpreters
if sys.argv[1] == "main first":
    import ostrel
    ostrel.decompress(ostrel.compress(b"main"))
interpreter = interpreters.create()
try:
    interpreters.run_string(interpreter, "import ostrel")
except interpreters.RunFailedError as error:
    print(error)
"""


@pytest.mark.parametrize("order", ["subinterpreter first", "main first"])
def test_a_subinterpreter_is_refused_at_import_never_left_waiting(order):
    pytest.importorskip("_xxsubinterpreters")
    done = subprocess.run([sys.executable, "-c", SUBINTERPRETER, order], capture_output=True,
                          text=True, timeout=60, env=os.environ)
    assert done.returncode == 0, done.stderr
    assert "ImportError" in done.stdout
    assert "ostrel cannot be imported in a subinterpreter" in done.stdout
