"""python -m ostrel: packs files to NAME.lzh8, or with -d unpacks NAME.lzh8
to NAME, as python -m gzip does. - or no file is standard input (to
standard output); -c writes to standard output. Outputs that exist are
refused unless -f is given. Exits 0, or 1 with a one-line message."""

import argparse
import errno
import os
import shutil
import sys
import tempfile

import ostrel

SUFFIX = ".lzh8"


def output_name(name, unpacking):
    if not unpacking:
        return name + SUFFIX
    if not name.endswith(SUFFIX) or len(name) == len(SUFFIX):
        raise ValueError("unknown suffix, not " + SUFFIX)
    return name[: -len(SUFFIX)]


def convert(source, target, unpacking, level):
    """Copies source to target through ostrel, in pieces."""
    if unpacking:
        with ostrel.open(source, "rb") as packed:
            while True:
                piece = packed.read1(1 << 20)
                if not piece:
                    return
                target.write(piece)
    with ostrel.open(target, "wb", level=level) as packed:
        while True:
            piece = source.read(1 << 20)
            if not piece:
                return
            packed.write(piece)


def run(name, args):
    stdout = sys.stdout.buffer
    if name == "-":
        convert(sys.stdin.buffer, stdout, args.decompress, args.level)
        return
    if args.stdout:
        with open(name, "rb") as source:
            convert(source, stdout, args.decompress, args.level)
        return
    target = output_name(name, args.decompress)
    if not args.force and os.path.exists(target):
        raise FileExistsError(errno.EEXIST, "already exists; -f replaces it", target)
    with open(name, "rb") as source:
        # Written beside the output and renamed over it once whole, so that
        # a failure leaves no partial output and loses no existing one.
        directory = os.path.dirname(target) or "."
        handle, temporary = tempfile.mkstemp(prefix="." + os.path.basename(target), dir=directory)
        try:
            with os.fdopen(handle, "wb") as output:
                convert(source, output, args.decompress, args.level)
            shutil.copymode(name, temporary)
            os.replace(temporary, target)
        except BaseException:
            os.unlink(temporary)
            raise


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m ostrel",
        description="Pack files to NAME.lzh8, or unpack them with -d.",
    )
    parser.add_argument("files", nargs="*", default=["-"], metavar="file")
    parser.add_argument("-d", "--decompress", action="store_true", help="unpack NAME.lzh8 to NAME")
    parser.add_argument("-c", "--stdout", action="store_true", help="write to standard output")
    parser.add_argument("-f", "--force", action="store_true", help="replace existing outputs")
    for level in range(1, 10):
        parser.add_argument(
            "-%d" % level,
            dest="level",
            action="store_const",
            const=level,
            help=argparse.SUPPRESS if 1 < level < 9 else "level 1 (fastest) to 9 (smallest)",
        )
    parser.set_defaults(level=6)
    args = parser.parse_args(argv)
    for name in args.files:
        try:
            run(name, args)
        except (OSError, EOFError, ValueError) as error:
            message = error.strerror if isinstance(error, OSError) and error.strerror else error
            where = error.filename if isinstance(error, OSError) and error.filename else name
            sys.stderr.write("python -m ostrel: %s: %s\n" % (where, message))
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
