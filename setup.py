"""Wheel build glue: setuptools packs the wheel, CMake builds the extension.

The extension is declared with no sources; its build step configures the project's own
CMakeLists.txt in build/wheel (apart from any developer build folder; the environment variable
BRAMBLELOFT_WHEEL_BUILD names another folder, CMAKE_ARGS adds configure options) and copies
the one file it produces. The wheel
is tagged cp38-abi3 because the file is compiled against the limited API of 3.8
(Py_LIMITED_API in CMakeLists.txt), and manylinux2014 when tools/check_manylinux.py finds
that the built file keeps to that policy (it does with the toolchains we build releases
with); otherwise it keeps the plain linux tag, good for the machine that built it.
"""
import os
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

try:  # setuptools 70.1 and later carry the wheel command themselves
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:
    from wheel.bdist_wheel import bdist_wheel

ROOT = Path(__file__).resolve().parent
WORK = Path(os.environ.get("BRAMBLELOFT_WHEEL_BUILD") or ROOT / "build" / "wheel").resolve()

sys.path.insert(0, str(ROOT / "tools"))
import check_manylinux  # noqa: E402


def run_cmake(arguments):
    try:
        subprocess.run(["cmake", *arguments], check=True)
    except FileNotFoundError:
        sys.exit("error: building brambleloft needs CMake 3.25 or later on the PATH "
                 "(Debian and Ubuntu: cmake; Fedora: cmake)")


class CMakeBuild(build_ext):
    def get_ext_filename(self, fullname):
        # The name CMake gives the module, which every CPython from 3.8 on loads; setuptools
        # would take the interpreter's first abi3 spelling (3.15: .abi3-x86_64-linux-gnu.so).
        return fullname + ".abi3.so"

    def build_extension(self, ext):
        cmake_dir = WORK / "cmake"
        # A folder configured for another copy of the sources (an earlier sdist unpacked
        # elsewhere, a moved checkout) is started afresh: CMake refuses to reuse it.
        cache = cmake_dir / "CMakeCache.txt"
        if cache.is_file() and f"CMAKE_HOME_DIRECTORY:INTERNAL={ROOT}\n" not in cache.read_text():
            shutil.rmtree(cmake_dir)
        run_cmake(["-S", str(ROOT), "-B", str(cmake_dir),
                   # The optimisation the test suites run against; the DWARF data stays out
                   # of the wheel, the symbol table stays for readable backtraces.
                   "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                   "-DCMAKE_MODULE_LINKER_FLAGS=-Wl,--strip-debug",
                   "-DBRAMBLELOFT_TESTS=OFF",
                   # Headers of the interpreter that runs the build; with the limited API any
                   # of 3.8 and later give the same file.
                   f"-DBRAMBLELOFT_PYTHON={sys.executable}",
                   # Options of the packager's own, e.g. CMAKE_ARGS=-DBRAMBLELOFT_WERROR=ON.
                   *shlex.split(os.environ.get("CMAKE_ARGS", ""))])
        jobs = self.parallel or os.cpu_count() or 1
        run_cmake(["--build", str(cmake_dir), "--target", ext.name, "--parallel", str(jobs)])
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(cmake_dir / target.name, target)
        problems = check_manylinux.check(target)
        if problems:
            print("note: the module does not keep to manylinux2014, so the wheel gets the plain "
                  "linux tag:\n  " + "\n  ".join(problems), file=sys.stderr)
        self.distribution.manylinux = not problems


class Wheel(bdist_wheel):
    def get_tag(self):
        python, abi, platform = super().get_tag()
        if (platform == "linux_x86_64" and not getattr(self, "plat_name_supplied", False)
                and getattr(self.distribution, "manylinux", False)):
            platform = check_manylinux.MANYLINUX_TAG
        return python, abi, platform


# setuptools' own scratch folders (build/lib*, build/bdist*, *.egg-info) go under WORK too,
# so a wheel build leaves the source tree and the developers' build folder as they were.
# They are emptied first: setuptools packs whatever it finds there, stale files included.
shutil.rmtree(WORK / "setuptools", ignore_errors=True)
WORK.mkdir(parents=True, exist_ok=True)

setup(
    ext_modules=[Extension("brambleloft", sources=[], py_limited_api=True)],
    cmdclass={"build_ext": CMakeBuild, "bdist_wheel": Wheel},
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
