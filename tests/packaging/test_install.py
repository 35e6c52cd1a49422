"""The wheel installed into a fresh environment of each interpreter, then used there."""

from pathlib import Path

import pytest

from conftest import (HERE, MODULE_FILE, PYENV_VERSIONS, ROOT, STUB_FILE, child_env,
                      install_test_tools, run, run_ok)

# Debian's own interpreter as well (its environment gets pip from python3-venv).
TARGETS = PYENV_VERSIONS + ["debian"]
# The whole suite runs against this build's module on every interpreter (make test); through
# the wheel, the oldest, the newest and Debian's show that what pip installs is that module.
SUITE_TARGETS = [PYENV_VERSIONS[0], PYENV_VERSIONS[-1], "debian"]
PYTEST_NO_TESTS = 5


@pytest.fixture(params=TARGETS)
def venv(request, venvs):
    return venvs(request.param)


def test_module_and_stubs_are_imported_from_the_environment(venv, tmp_path):
    out = run_ok([venv.python, "-c",
                  "import sys, brambleloft; print(sys.prefix); print(brambleloft.__file__)"],
                 cwd=tmp_path)
    prefix, module = map(Path, out.split())
    assert prefix == venv.prefix
    assert module == venv.site / MODULE_FILE
    assert (venv.site / STUB_FILE).is_file()


def test_stubs_agree_with_the_installed_module(venv, tmp_path):
    done = run([venv.python, HERE / "check_stubs.py"], cwd=tmp_path)
    assert done.returncode == 0, done.stdout


@pytest.mark.parametrize("name", SUITE_TARGETS)
def test_python_suite_passes_against_the_installed_module(venvs, name):
    venv = venvs(name)
    install_test_tools(venv)
    # The plugin fails the run if anything but the installed module is imported.
    env = child_env(PYTHONPATH=str(HERE / "plugin"))
    done = run([venv.python, "-m", "pytest", "-p", "no:cacheprovider", "-p", "brambleloft_installed",
                "-q", "-x"], cwd=ROOT / "tests" / "python", env=env, timeout=900)
    if done.returncode == PYTEST_NO_TESTS:
        pytest.skip("tests/python holds no tests yet")
    assert done.returncode == 0, done.stdout[-6000:]
