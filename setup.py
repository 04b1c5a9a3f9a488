# The extension ostrel._ostrel, built from the module's core and the
# library's sources (the same files lib/CMakeLists.txt builds), and the
# package around it. The version is the library's, read from its header.
import re
from pathlib import Path

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension, build_ext
from setuptools import setup

root = Path(__file__).resolve().parent
header = (root / "lib/include/ostrel/lzh8.h").read_text()
version = ".".join(
    re.search(r"^#define LZH8_VERSION_%s (\d+)$" % part, header, re.M).group(1)
    for part in ("MAJOR", "MINOR", "PATCH")
)
sources = ["python/_ostrel.cpp"] + sorted(
    path.relative_to(root).as_posix() for pattern in ("*.cpp", "pack/*.cpp")
    for path in (root / "lib").glob(pattern)
)

ParallelCompile(default=0).install()
# Apart from the CMake build's build/.
(root / "build-python").mkdir(exist_ok=True)
setup(
    version=version,
    package_dir={"": "python"},
    packages=["ostrel"],
    package_data={"ostrel": ["py.typed", "*.pyi"]},
    ext_modules=[
        Pybind11Extension(
            "ostrel._ostrel",
            sources,
            include_dirs=["lib/include", "lib"],
            cxx_std=17,
            extra_compile_args=["-O2"],
            extra_link_args=["-pthread"],
        )
    ],
    cmdclass={"build_ext": build_ext},
    options={"build": {"build_base": "build-python"}, "egg_info": {"egg_base": "build-python"}},
)
