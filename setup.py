"""Wheel build glue: setuptools packs the wheel, CMake builds the extension.

The extension is declared with no sources; its build step configures the project's own
CMakeLists.txt in build/wheel (apart from any developer build folder) and copies the one
file it produces. The wheel is tagged cp38-abi3 because the file is compiled against the
limited API of 3.8 (Py_LIMITED_API in CMakeLists.txt).
"""
import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent
WORK = ROOT / "build" / "wheel"


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        cmake_dir = WORK / "cmake"
        subprocess.run(
            ["cmake", "-S", str(ROOT), "-B", str(cmake_dir),
             # The optimisation the test suites run against; the DWARF data stays out
             # of the wheel, the symbol table stays for readable backtraces.
             "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
             "-DCMAKE_MODULE_LINKER_FLAGS=-Wl,--strip-debug",
             "-DBRAMBLELOFT_TESTS=OFF",
             # Headers of the interpreter that runs the build; with the limited API any
             # of 3.8 and later give the same file.
             f"-DBRAMBLELOFT_PYTHON={sys.executable}"],
            check=True)
        jobs = self.parallel or os.cpu_count() or 1
        subprocess.run(
            ["cmake", "--build", str(cmake_dir), "--target", ext.name, "--parallel", str(jobs)],
            check=True)
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(cmake_dir / target.name, target)


# setuptools' own scratch folders (build/lib*, build/bdist*, *.egg-info) go under WORK too,
# so a wheel build leaves the source tree and the developers' build folder as they were.
# They are emptied first: setuptools packs whatever it finds there, stale files included.
shutil.rmtree(WORK / "setuptools", ignore_errors=True)
WORK.mkdir(parents=True, exist_ok=True)

setup(
    ext_modules=[Extension("brambleloft", sources=[], py_limited_api=True)],
    cmdclass={"build_ext": CMakeBuild},
    # PEP 561 stub-only package for a single-file extension module.
    packages=["brambleloft-stubs"],
    package_dir={"brambleloft-stubs": "stubs/brambleloft-stubs"},
    package_data={"brambleloft-stubs": ["__init__.pyi"]},
    options={
        "bdist_wheel": {"py_limited_api": "cp38"},
        "build": {"build_base": str(WORK / "setuptools")},
        "egg_info": {"egg_base": str(WORK)},
    },
)
