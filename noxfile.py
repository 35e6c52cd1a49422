"""Virtual environments for the Python side of the checks; the make targets run these sessions.

Every tool is pinned in pyproject.toml's [dependency-groups]. Sessions:
  tests-3.8 ... tests-3.13, tests-debian   the Python suite against the module in
      BRAMBLELOFT_MODULE_DIR (default: build), under pyenv's CPython or Debian's python3;
      BRAMBLELOFT_PRELOAD, if set, becomes the suite's LD_PRELOAD (the sanitizer runtimes)
  packaging      builds the sdist and wheels and checks them (tests/packaging)
  dist -- WORK PLATFORM [ARGS]   python -m build in WORK, then auditwheel repair into dist/
  dist_check     abi3audit, the executable-stack check and twine on everything in dist/
  bench          an environment of the benchmarks' peers, for make bench
  musl_toolchain -- DIR   zig's compilers for x86_64-linux-musl, as wrappers in DIR/bin
  musl_test_wheels -- DIR   the test group's wheels for a musl CPython 3.13, into DIR
"""

import glob
import os
from pathlib import Path

import nox

ROOT = Path(__file__).resolve().parent
PYPROJECT = nox.project.load_toml(ROOT / "pyproject.toml")
DEBIAN_PYTHON = "/usr/bin/python3"
PYENV_VERSIONS = ["3.8", "3.9", "3.10", "3.11", "3.12", "3.13"]

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


def _suite(session):
    session.install(*group("test"))
    module_dir = Path(os.environ.get("BRAMBLELOFT_MODULE_DIR", ROOT / "build")).resolve()
    env = {"PYTHONPATH": str(module_dir), "PYTHONDONTWRITEBYTECODE": "1"}
    if os.environ.get("BRAMBLELOFT_PRELOAD"):
        env["LD_PRELOAD"] = os.environ["BRAMBLELOFT_PRELOAD"]
    session.chdir(ROOT / "tests" / "python")
    session.run("python", "-m", "pytest", "-p", "no:cacheprovider", "-q", *session.posargs, env=env)


@nox.session(python=PYENV_VERSIONS)
def tests(session):
    _suite(session)


@nox.session(name="tests-debian", python=DEBIAN_PYTHON)
def tests_debian(session):
    _suite(session)


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
    if len(session.posargs) < 2:
        session.error("usage: nox -s dist -- WORK_FOLDER PLATFORM_TAG [BUILD_ARGUMENTS...]")
    work = Path(session.posargs[0]).resolve()
    platform, build_arguments = session.posargs[1], session.posargs[2:]
    session.install(*group("dist"))
    if work.exists():
        session.run("rm", "-rf", str(work), external=True)
    session.run("python", "-m", "build", "--outdir", str(work), *build_arguments, str(ROOT))
    # auditwheel takes --plat only for the machine it runs on: it tags the wheel with the
    # oldest policy the wheel keeps to, which must be the one asked for.
    repaired = work / "repaired"
    session.run("auditwheel", "repair", "--wheel-dir", str(repaired), *glob.glob(str(work / "*.whl")))
    for wheel in repaired.glob("*.whl"):
        if platform not in wheel.name.split("-")[-1][:-len(".whl")].split("."):
            session.error(f"{wheel.name} does not keep to {platform}")
    (ROOT / "dist").mkdir(exist_ok=True)
    session.run("mv", *map(str, repaired.glob("*.whl")), str(ROOT / "dist"), external=True)
    session.run("cp", *glob.glob(str(work / "*.tar.gz")), str(ROOT / "dist"), external=True)


@nox.session(python=DEBIAN_PYTHON)
def dist_check(session):
    session.install(*group("dist"))
    wheels = glob.glob(str(ROOT / "dist" / "*.whl"))
    if not wheels:
        session.error("dist/ holds no wheel")
    session.run("abi3audit", "--strict", "--summary", *wheels)
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
