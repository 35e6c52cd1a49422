"""What a type checker makes of the installed stubs."""

import shutil

from conftest import HERE, PYTHON, run


def test_typed_example_passes_mypy_against_the_installed_stubs(venvs, tmp_path):
    venv = venvs("debian")
    # Checked away from the tree, so the environment's stubs are the only ones mypy can find;
    # --python-version 3.10, the oldest the pinned mypy checks for, keeps the stubs to what it allows.
    shutil.copy(HERE / "typed_example.py", tmp_path)
    done = run([PYTHON, "-m", "mypy", "--config-file", "/dev/null", "--strict",
                "--warn-unused-ignores", "--no-incremental", "--cache-dir", tmp_path / "cache",
                "--python-version", "3.10", "--python-executable", venv.python, "typed_example.py"],
               cwd=tmp_path)
    assert done.returncode == 0, done.stdout
