"""pytest plugin: fails the run when the module under test is not the environment's own
copy, for instance because a conftest put a build folder on sys.path."""

import sys
from pathlib import Path


def pytest_sessionfinish(session, exitstatus):
    module = sys.modules.get("brambleloft")
    if module is None:
        return
    where = Path(module.__file__).resolve()
    if Path(sys.prefix).resolve() not in where.parents:
        sys.stderr.write(f"\nbrambleloft was imported from {where}, outside the environment {sys.prefix}\n")
        session.exitstatus = 1
