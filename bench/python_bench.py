#!/usr/bin/env python3
"""The Python module beside zlib, on the benchmark corpus (bench/corpus.sh).

Decodes every corpus file, and every file cut into pieces of 4 KiB, each
piece packed on its own, through ostrel.decompress beside zlib.decompress
of the same content (raw deflate, level 6), alternating by round, medians;
prints MB/s of both and what each ostrel.decompress call costs beyond the
C library's own call on the same pieces (bench/inproc --per-call).

Usage: PYTHONPATH=build/python python3 bench/python_bench.py [build] [rounds]
"""

import os
import pathlib
import statistics
import subprocess
import sys
import time
import zlib

import ostrel

build = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build")
rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 7
root = pathlib.Path(__file__).resolve().parent.parent
corpus = pathlib.Path(subprocess.run([root / "bench" / "corpus.sh", build / "bench-corpus"],
                                     check=True, capture_output=True, text=True).stdout.strip())
files = [path.read_bytes() for path in sorted(corpus.iterdir())]


def deflate(data):
    packer = zlib.compressobj(6, zlib.DEFLATED, -15)
    return packer.compress(data) + packer.flush()


def seconds(work, packed):
    start = time.perf_counter()
    for piece in packed:
        work(piece)
    return time.perf_counter() - start


def compare(title, pieces):
    lzh8 = [ostrel.compress(piece, 6) for piece in pieces]
    raw = [deflate(piece) for piece in pieces]
    assert [ostrel.decompress(piece) for piece in lzh8] == pieces
    ours, theirs = [], []
    for round in range(rounds):
        sides = [(ours, ostrel.decompress, lzh8), (theirs, lambda p: zlib.decompress(p, -15), raw)]
        for times, work, packed in sides if round % 2 == 0 else reversed(sides):
            times.append(seconds(work, packed))
    size = sum(len(piece) for piece in pieces)
    mine, zlibs = statistics.median(ours), statistics.median(theirs)
    print(f"{title:28} {len(pieces):7} calls  ostrel {size / mine / 1e6:8.1f} MB/s  "
          f"zlib {size / zlibs / 1e6:8.1f} MB/s  ratio {zlibs / mine:5.2f}")
    return mine / len(pieces)


cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
            if line.startswith("model name")), "unknown")
print(f"CPU: {cpu}; ostrel {ostrel.__version__}, zlib {zlib.ZLIB_RUNTIME_VERSION}; "
      f"{rounds} rounds, medians")
compare("whole files", files)
piece = 4096
per_call = compare("pieces of 4 KiB", [data[at:at + piece] for data in files
                                        for at in range(0, len(data), piece)])
inproc = build / "bench" / "inproc"
if inproc.exists():
    c_call = subprocess.run([inproc, "--per-call", corpus, str(piece)], check=True,
                            capture_output=True, text=True).stdout
    c_ns = float(c_call.split()[0])
    print(f"per 4 KiB call: ostrel.decompress {per_call * 1e9:.0f} ns, lzh8_decode {c_ns:.0f} ns: "
          f"the binding adds {per_call * 1e9 - c_ns:.0f} ns")
else:
    print(f"{inproc} is not built: no C figure to set the calls against")
