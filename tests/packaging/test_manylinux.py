"""manylinux2014: auditwheel finds the module within the policy thanks to our link glue (and
outside it without), the module needs nothing but the C runtime, and its old-version bindings
and stand-ins work where they are used."""

import textwrap

from conftest import DEBIAN_PYTHON, MODULE_FILE, PYTHON, ROOT, offline_wheel, run, run_ok, tool

# What the module may need: the C runtime, and the system's unwinder for C++ exceptions.
OUR_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1", "libgcc_s.so.1"}


def auditwheel_tag(wheel):
    return " ".join(run_ok([tool("auditwheel"), "show", wheel]).split())


def test_auditwheel_finds_the_module_within_manylinux2014(raw_wheel):
    assert 'constrains the platform tag to "manylinux_2_17_x86_64"' in auditwheel_tag(raw_wheel)


def test_without_the_link_glue_the_module_needs_a_newer_glibc(tmp_path_factory):
    built = offline_wheel(ROOT, tmp_path_factory, "--config-settings=cmake.define.BRAMBLELOFT_MANYLINUX=OFF")
    report = auditwheel_tag(built)
    assert "constrains the platform tag to" in report
    assert 'constrains the platform tag to "manylinux_2_17_x86_64"' not in report


def test_the_module_needs_only_the_c_runtime_and_links_the_cxx_runtime_in(unpacked):
    headers = run_ok(["objdump", "-p", unpacked / MODULE_FILE])
    needed = {line.split()[1] for line in headers.splitlines() if line.strip().startswith("NEEDED")}
    assert "libc.so.6" in needed and needed <= OUR_LIBRARIES
    # Nothing of the C++ runtime is imported, not even unversioned.
    imports = run_ok(["objdump", "-T", unpacked / MODULE_FILE])
    assert [line for line in imports.splitlines() if "*UND*" in line
            and ("GLIBCXX" in line or "CXXABI" in line or "_ZNS" in line or "cxx11" in line)] == []


def test_the_executable_stack_check_catches_one(tmp_path):
    (tmp_path / "probe.c").write_text("int nothing(void) { return 0; }\n")
    run_ok(["gcc", "-shared", "-fPIC", "-Wl,-z,execstack", "-o", tmp_path / "probe.so", tmp_path / "probe.c"])
    done = run([PYTHON, ROOT / "tools" / "check_execstack.py", tmp_path / "probe.so"])
    assert done.returncode == 1
    assert f"{tmp_path / 'probe.so'}: asks for an executable stack" in done.stdout


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
