"""manylinux2014: our policy check catches each kind of violation, the wheel's module passes it,
and the module's old-version bindings and stand-ins work where they are used."""

import sys
import textwrap
from pathlib import Path

import pytest

from conftest import DEBIAN_PYTHON, MODULE_FILE, ROOT, pip_wheel, run, run_ok

sys.path.insert(0, str(ROOT / "tools"))
import check_manylinux  # noqa: E402

# What the module may need: the C runtime, and the system's unwinder for C++ exceptions.
OUR_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1", "libgcc_s.so.1"}


def shared_object(tmp_path: Path, source: str, *flags: str, compiler: str = "gcc") -> Path:
    suffix = ".cpp" if compiler == "g++" else ".c"
    (tmp_path / f"probe{suffix}").write_text(textwrap.dedent(source))
    out = tmp_path / "probe.so"
    run_ok([compiler, "-shared", "-fPIC", "-O1", *flags, "-o", out, tmp_path / f"probe{suffix}"])
    return out


def test_a_module_that_needs_only_old_glibc_conforms(tmp_path):
    probe = shared_object(tmp_path, """
        #include <stdlib.h>
        void* grab(size_t n) { return malloc(n); }
    """)
    assert check_manylinux.check(probe) == []


@pytest.mark.parametrize("source, flags, compiler, expected", [
    pytest.param("""
        #include <sys/random.h>
        int fill(void* b) { return getentropy(b, 16); }
    """, (), "gcc", "requires GLIBC_2.25 from libc.so.6 (for getentropy)", id="a-symbol-newer-than-2.17"),
    pytest.param("""
        #include <stddef.h>
        #include <stdio.h>
        extern int getentropy(void*, size_t) __attribute__((weak));
        /* A strong reference too: libc.so.6 is then needed, and the weak one is bound to it. */
        int fill(void* b) { puts("filling"); return getentropy ? getentropy(b, 16) : -1; }
    """, (), "gcc", "requires GLIBC_2.25 from libc.so.6 (for getentropy)", id="a-weak-reference-counts-too"),
    pytest.param("""
        #include <stdio.h>
        extern int __cxa_thread_atexit_impl(void (*)(void*), void*, void*) __attribute__((weak));
        int later(void (*f)(void*)) {
          puts("registering");
          return __cxa_thread_atexit_impl ? __cxa_thread_atexit_impl(f, 0, 0) : -1;
        }
    """, (), "gcc", "weakly imports __cxa_thread_atexit_impl, which the policy refuses",
                 id="a-refused-symbol"),
    pytest.param("""
        __thread int counter;
        int bump(void) { return ++counter; }
    """, (), "gcc", "needs ld-linux-x86-64.so.2", id="thread-locals-through-the-loader"),
    pytest.param("""
        #include <string>
        std::string twice(const std::string& s) { return s + s; }
    """, (), "g++", "needs libstdc++.so.6", id="a-shared-cxx-runtime"),
    pytest.param("int nothing(void) { return 0; }", ("-Wl,-z,execstack",), "gcc",
                 "asks for an executable stack", id="an-executable-stack"),
])
def test_each_kind_of_violation_is_named(tmp_path, source, flags, compiler, expected):
    found = check_manylinux.check(shared_object(tmp_path, source, *flags, compiler=compiler))
    assert any(expected in problem for problem in found), found


def test_the_checker_exits_nonzero_and_names_the_file(tmp_path):
    probe = shared_object(tmp_path, "int nothing(void) { return 0; }", "-Wl,-z,execstack")
    done = run([DEBIAN_PYTHON, ROOT / "tools" / "check_manylinux.py", probe])
    assert done.returncode == 1
    assert f"{probe}: asks for an executable stack" in done.stdout


def test_the_wheels_module_needs_only_the_c_runtime_at_glibc_2_17(unpacked, wheel):
    assert check_manylinux.check(wheel) == []
    module = check_manylinux.read_module((unpacked / MODULE_FILE).read_bytes())
    assert set(module.needed) <= OUR_LIBRARIES
    assert "libc.so.6" in module.needed
    # The C++ runtime is linked in: nothing of it is imported, not even unversioned.
    assert [i.name for i in module.imports if i.library not in (None, *OUR_LIBRARIES)] == []
    assert [i.name for i in module.imports if i.name.startswith("_ZNS") or "cxx11" in i.name] == []


def test_a_module_outside_the_policy_keeps_the_plain_linux_tag(tmp_path_factory):
    # Linked the ordinary way, the module needs this machine's newer glibc.
    built = pip_wheel(ROOT, tmp_path_factory, "--no-build-isolation",
                      cmake_args="-DBRAMBLELOFT_MANYLINUX=OFF")
    assert built.name == "brambleloft-0.1.0-cp38-abi3-linux_x86_64.whl"
    assert check_manylinux.check(built) != []


def test_every_binding_resolves_and_the_stand_ins_work(unpacked):
    # LD_BIND_NOW resolves every symbol at import, so a version that this glibc lacks fails here.
    # The threads each seed a generator (a thread_local with a destructor, run at thread exit),
    # and each fault report names its thread (pthread_getname_np); the fault is a C++ exception.
    script = textwrap.dedent("""
        import sys, threading
        sys.path.insert(0, sys.argv[1])
        import brambleloft

        def work(seed):
            table = brambleloft.CuckooHash(1)
            for i in range(300):
                table.insert(f"{seed}-{i}", "v")
            try:
                brambleloft.CuckooHash(0).get("a")
            except BaseException as e:
                assert type(e).__name__ == "PanicException", e

        for round in range(4):
            threads = [threading.Thread(target=work, args=(n,)) for n in range(16)]
            for t in threads: t.start()
            for t in threads: t.join()
        print("ok")
    """)
    env = {"LD_BIND_NOW": "1", "PATH": "/usr/bin:/bin"}
    done = run([DEBIAN_PYTHON, "-I", "-c", script, unpacked], env=env)
    assert done.returncode == 0, done.stdout[-4000:]
    assert done.stdout.splitlines()[-1] == "ok"
    # One report per fault, naming the source file relative to the project.
    assert done.stdout.count("hit an internal fault at src/cuckoo_hash/") == 4 * 16
