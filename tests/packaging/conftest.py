"""Fixtures shared by the packaging checks: one wheel per session, built from this tree,
and one fresh virtual environment per interpreter with that wheel installed."""

import os
import shutil
import subprocess
import zipfile
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, List, Optional

import pytest

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
DEBIAN_PYTHON = "/usr/bin/python3"
PYENV_VERSIONS = ["3.8", "3.9", "3.10", "3.11", "3.12", "3.13"]
PLATFORM_TAG = "manylinux_2_17_x86_64.manylinux2014_x86_64"
WHEEL_NAME = f"brambleloft-0.1.0-cp38-abi3-{PLATFORM_TAG}.whl"
SDIST_NAME = "brambleloft-0.1.0.tar.gz"
MODULE_FILE = "brambleloft.abi3.so"
STUB_FILE = "brambleloft-stubs/__init__.pyi"


def child_env(**extra: str) -> Dict[str, str]:
    """The caller's environment without anything that could point an interpreter at
    another copy of the module or another pip configuration."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("PYTHON", "PIP_", "VIRTUAL_ENV", "MYPY"))}
    env.update(PYTHONDONTWRITEBYTECODE="1", PYTHONNOUSERSITE="1",
               PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_CACHE_DIR="1", PIP_NO_INDEX="1")
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


def build_env(tmp_path_factory, cmake_args: str = "") -> Dict[str, str]:
    """The environment of a wheel build: its CMake folder is its own, not build/wheel in
    the tree, which another build may be using."""
    return child_env(BRAMBLELOFT_WHEEL_BUILD=str(tmp_path_factory.mktemp("wheel-build")),
                     CMAKE_ARGS=cmake_args)


def only_file(folder: Path) -> Path:
    built = sorted(folder.iterdir())
    assert len(built) == 1, f"expected one file, got {[p.name for p in built]}"
    return built[0]


def pip_wheel(source: Path, tmp_path_factory, *options, cmake_args: str = "") -> Path:
    """The wheel that pip builds from a tree or an sdist."""
    out = tmp_path_factory.mktemp("dist")
    run_ok([DEBIAN_PYTHON, "-m", "pip", "wheel", "--no-deps", *options, "-w", out, source],
           env=build_env(tmp_path_factory, cmake_args))
    return only_file(out)


@pytest.fixture(scope="session")
def wheel(tmp_path_factory) -> Path:
    """The wheel, built once from this tree the offline way the README documents."""
    return pip_wheel(ROOT, tmp_path_factory, "--no-build-isolation")


@pytest.fixture(scope="session")
def sdist(tmp_path_factory) -> Path:
    """The source distribution of this tree."""
    if run([DEBIAN_PYTHON, "-c", "import build"]).returncode != 0:
        pytest.skip("making the sdist needs Debian's python3-build")
    out = tmp_path_factory.mktemp("sdist")
    run_ok([DEBIAN_PYTHON, "-m", "build", "--sdist", "--no-isolation", "--outdir", out, ROOT],
           env=build_env(tmp_path_factory))
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
    python = base / "bin" / "python"
    if name == "debian":
        # The route a Debian user takes: python3-venv gives the environment its own pip,
        # offline, and that pip checks the wheel's tag against this interpreter.
        run_ok([DEBIAN_PYTHON, "-m", "venv", base])
        run_ok([python, "-m", "pip", "install", "--no-deps", wheel])
        return Venv(name, base, python, _site(python))
    interpreter = pyenv_python(name)
    if interpreter is None:
        pytest.skip(f"CPython {name} is not installed under {pyenv_root()}")
    run_ok([interpreter, "-m", "venv", "--without-pip", base])
    site = _site(python)
    # Debian's pip unpacks into the environment; --python-version makes it check the
    # wheel's tag against the target interpreter instead of its own.
    run_ok([DEBIAN_PYTHON, "-m", "pip", "install", "--no-deps", "--target", site,
            "--python-version", name, wheel])
    return Venv(name, base, python, site)


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
