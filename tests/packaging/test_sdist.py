"""The source distribution: what it holds, and that pip builds the same module from it."""

import tarfile

from conftest import ROOT, SDIST_NAME, WHEEL_NAME, module_bytes, pip_wheel, run, run_ok


def test_sdist_holds_every_source_and_none_of_the_developer_files(sdist):
    assert sdist.name == SDIST_NAME
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    tracked = set(run_ok(["git", "-C", ROOT, "ls-files", "src", "stubs"]).split())
    assert tracked, "git lists no sources"
    needed = {"CMakeLists.txt", "setup.py", "pyproject.toml", "README.md", "tools/check_manylinux.py"}
    assert sorted((tracked | needed) - names) == []
    assert sorted(name for name in names if name.startswith(("build", "dist", "tests/", ".git"))) == []


def test_sdist_builds_offline_without_isolation_into_the_same_module(wheel, sdist, tmp_path_factory):
    built = pip_wheel(sdist, tmp_path_factory, "--no-build-isolation")
    assert built.name == WHEEL_NAME
    assert module_bytes(built) == module_bytes(wheel)


def test_a_missing_xxhash_header_stops_the_build_naming_the_package(tmp_path):
    # Every header search confined to an empty folder: as on a machine without xxHash.
    empty = tmp_path / "empty"
    empty.mkdir()
    done = run(["cmake", "-S", ROOT, "-B", tmp_path / "build", "-DBRAMBLELOFT_TESTS=OFF",
                f"-DCMAKE_FIND_ROOT_PATH={empty}", "-DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY"])
    assert done.returncode != 0
    message = " ".join(done.stdout.split())
    assert "xxhash.h" in message
    assert "libxxhash-dev on Debian and Ubuntu, xxhash-devel on Fedora" in message
