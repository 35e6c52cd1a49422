# Entry points for people and CI. Each target installs what it lacks: Debian packages with
# apt-get (tools/ensure_packages.sh), Python tools from the package index into virtual
# environments made by nox (noxfile.py), at the versions pinned in pyproject.toml.
BUILD ?= build
comma := ,
JOBS ?= $(shell nproc)
BUILD_PACKAGES = cmake g++ make binutils libxxhash-dev python3-dev libgtest-dev
# The formatter is Debian's clang-format 14 by name: another version formats differently.
CLANG_FORMAT = clang-format-14
TEST_PACKAGES = $(BUILD_PACKAGES) xxhash python3-venv git $(CLANG_FORMAT)
BENCH_PACKAGES = valgrind libbenchmark-dev libabsl-dev

.PHONY: all build demo examples test bench deps-build deps-test nox sanitize memcheck clean fuzz coverage soak

all: build

deps-build:
	@bash tools/ensure_packages.sh $(BUILD_PACKAGES)
deps-test:
	@bash tools/ensure_packages.sh $(TEST_PACKAGES)

# nox itself, in its own environment, from its dependency group; its sessions' environments
# live in $(BUILD)/nox.
NOX_VENV = $(BUILD)/nox-venv
NOX_ENVDIR = $(CURDIR)/$(BUILD)/nox
NOX = $(NOX_VENV)/bin/nox --noxfile $(CURDIR)/noxfile.py --envdir $(NOX_ENVDIR)
nox: $(NOX_VENV)/bin/nox
$(NOX_VENV)/bin/nox: pyproject.toml
	@bash tools/ensure_packages.sh python3-venv
	/usr/bin/python3 -m venv --clear $(NOX_VENV)
	/usr/bin/python3 -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["dependency-groups"]["nox"]))' \
	  > $(NOX_VENV)/requirements.txt
	$(NOX_VENV)/bin/pip install -q -r $(NOX_VENV)/requirements.txt
	touch $@

# The Python suites under ctest run through nox.
CMAKE_NOX = -DBRAMBLELOFT_NOX=$(CURDIR)/$(NOX_VENV)/bin/nox -DBRAMBLELOFT_NOX_ENVDIR=$(NOX_ENVDIR) \
  -DBRAMBLELOFT_CLANG_FORMAT=$(CLANG_FORMAT)

build: deps-build
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRAMBLELOFT_TESTS=ON -DBRAMBLELOFT_WERROR=ON \
	  -DBRAMBLELOFT_FLOOR=ON $(CMAKE_NOX)
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	PYTHONPATH=$(BUILD) /usr/bin/python3 examples/demo.py

# Every example runs to its end against the build and prints the line it promises.
example = out=$$(PYTHONPATH=$(BUILD) /usr/bin/python3 examples/$(1) 2>&1); status=$$?; printf '%s\n' "$$out"; \
  [ $$status -eq $(3) ] && printf '%s\n' "$$out" | grep -q -- "$(2)" || \
  { echo "examples/$(1): expected exit status $(3) and a line with: $(2)"; exit 1; }
examples: build
	@$(call example,demo.py,^Japan -> Tokyo$$,0)
	@$(call example,demo.py,^a third value for the key is refused: True$$,0)
	@$(call example,task_runner.py,^ran 12 tasks with 4 workers in,0)
	@$(call example,task_runner.py examples/tasks_with_cycle.txt,refusing 'compile: package' (the edge package -> compile): package already depends on compile,1)
	@$(call example,dependency_resolver.py,^built 100$(comma)000 packages with,0)
	@$(call example,string_table.py,^memory for .* pairs: CuckooHash .* B per pair$(comma) dict,0)

test: deps-test nox build examples
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The 400-name model run of the DAG takes 14 s in make test's build, but four minutes under
# qemu-user and eight in the sanitizer's Debug build; the runs of 12 and 64 names take the same
# paths, so the emulated, sanitized and coverage runs of the C++ tests leave it out.
LONG_MODEL_RUN = Runs/DagAgainstTheModel.*Names400*

# The C++ tests, and the Python suite through the module, under AddressSanitizer and UBSan,
# with LeakSanitizer at the exit of each. PYTHONMALLOC=malloc puts every Python object in
# malloc's view, so that an object the module never releases (in the allocation-failure
# sweep too, and in the processes it starts) is reported; the interpreter itself leaves
# nothing unreachable at exit, so nothing is suppressed.
sanitize: deps-test nox
	cmake -S . -B $(BUILD)-asan -DCMAKE_BUILD_TYPE=Debug -DBRAMBLELOFT_SANITIZE=ON -DBRAMBLELOFT_WERROR=ON $(CMAKE_NOX)
	cmake --build $(BUILD)-asan -j $(JOBS)
	ASAN_OPTIONS=allocator_may_return_null=1 $(BUILD)-asan/tests/core_tests --gtest_filter='-$(LONG_MODEL_RUN)'
	BRAMBLELOFT_MODULE_DIR=$(CURDIR)/$(BUILD)-asan \
	  BRAMBLELOFT_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 PYTHONMALLOC=malloc $(NOX) -s tests-debian

# Native leaks and invalid accesses in the module, under valgrind, while the demo runs.
memcheck: build
	bash tools/ensure_packages.sh valgrind
	PYTHONMALLOC=malloc PYTHONPATH=$(BUILD) valgrind --quiet --leak-check=full --show-leak-kinds=definite \
	  --errors-for-leak-kinds=definite --error-exitcode=1 /usr/bin/python3 examples/demo.py > /dev/null

# libFuzzer targets (clang, ASan, UBSan) against models of the cores, from the seed
# corpus in tests/fuzz/corpus; a failure leaves its reproducer in that corpus.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = cuckoo_hash dag
FUZZ_CLANG = 16# the first of Debian's clangs whose std::source_location works with libstdc++ 12
fuzz: deps-build
	@bash tools/ensure_packages.sh clang-$(FUZZ_CLANG) libclang-rt-$(FUZZ_CLANG)-dev
	cmake -S . -B $(BUILD)-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-$(FUZZ_CLANG) \
	  -DBRAMBLELOFT_FUZZ=ON -DBRAMBLELOFT_SANITIZE=ON
	cmake --build $(BUILD)-fuzz -j $(JOBS) --target $(FUZZ_TARGETS:%=fuzz_%)
	bash tests/fuzz/run.sh $(BUILD)-fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# Line and branch coverage of all of src/ from the C++ tests, the fuzz corpora and the
# Python suite; fails below COVERAGE_LINES or COVERAGE_BRANCHES percent, or when
# tests/coverage/unreachable.txt, the lines no test can reach, is no longer true.
COVERAGE_LINES ?= 99
COVERAGE_BRANCHES ?= 80
coverage: deps-test nox
	@bash tools/ensure_packages.sh gcovr
	cmake -S . -B $(BUILD)-cov -DCMAKE_BUILD_TYPE=Debug -DBRAMBLELOFT_COVERAGE=ON -DBRAMBLELOFT_TESTS=ON $(CMAKE_NOX)
	cmake --build $(BUILD)-cov -j $(JOBS)
	find $(BUILD)-cov -name '*.gcda' -delete
	$(BUILD)-cov/tests/core_tests --gtest_brief=1 --gtest_filter='-$(LONG_MODEL_RUN)'
	for target in $(FUZZ_TARGETS); do $(BUILD)-cov/tests/fuzz/fuzz_$$target tests/fuzz/corpus/$$target > /dev/null; done
	@# 3.8 also takes the paths for interpreters without borrowed UTF-8 and notes.
	BRAMBLELOFT_MODULE_DIR=$(CURDIR)/$(BUILD)-cov $(NOX) -s tests-debian tests-3.8
	gcovr --root . --filter 'src/' --exclude-throw-branches --print-summary \
	  --txt $(BUILD)-cov/coverage.txt --json $(BUILD)-cov/coverage.json $(BUILD)-cov
	@echo "per-file report: $(BUILD)-cov/coverage.txt"
	/usr/bin/python3 tests/coverage/report.py $(BUILD)-cov/coverage.json $(COVERAGE_LINES) $(COVERAGE_BRANCHES)

# Minutes of mixed calls from several threads, checked against models, with memory,
# allocated blocks and argument reference counts required flat. Not part of make test.
SOAK_SECONDS ?= 180
soak: build
	PYTHONPATH=$(BUILD) /usr/bin/python3 tests/soak/soak.py --seconds $(SOAK_SECONDS)

# The scripts run in the bench session's environment (Debian's python3 and the peers) against
# the module and the cost floor (bench/floor) that build makes; the instruction and miss counts
# need valgrind, the C++ benchmark Google Benchmark and abseil.
BENCH_PYTHON = $(NOX_ENVDIR)/bench/bin/python
bench: build nox
	@bash tools/ensure_packages.sh $(BENCH_PACKAGES)
	$(NOX) -s bench
	PYTHONPATH=$(BUILD) $(BENCH_PYTHON) bench/bench.py
	PYTHONPATH=$(BUILD) $(BENCH_PYTHON) bench/dag_scale.py
	PYTHONPATH=$(BUILD) $(BENCH_PYTHON) bench/cuckoo_scale.py
	PYTHONPATH=$(BUILD) $(BENCH_PYTHON) bench/counts.py
	@# One call's cost here, and on PyPy where make test-source-installs has installed it.
	PYTHONPATH=$(BUILD) $(BENCH_PYTHON) bench/per_call.py
	[ ! -x $(NOX_ENVDIR)/install-pypy/bin/python ] || $(NOX_ENVDIR)/install-pypy/bin/python bench/per_call.py
	@# The DAG core against abseil's GraphCycles, optimised as a user's build is.
	cmake -S . -B $(BUILD)-bench -DCMAKE_BUILD_TYPE=Release -DBRAMBLELOFT_TESTS=OFF -DBRAMBLELOFT_BENCH=ON
	cmake --build $(BUILD)-bench -j $(JOBS) --target dag_bench
	$(BUILD)-bench/bench/cpp/dag_bench

# pip install . from the tree, as a user without a wheel does, on the oldest CPython (3.8's
# headers, the tuple convention) and on Debian's PyPy 3.9 (no stable ABI: the version-specific
# module), each against its own headers; then the whole Python suite on each build.
PYPY_PACKAGES = pypy3 pypy3-dev pypy3-venv
test-source-installs: deps-build nox
	@bash tools/ensure_packages.sh python3-venv $(PYPY_PACKAGES)
	$(NOX) -s install-3.8 install-pypy

# mypy's stubtest, the newest mypy (pyproject.toml's typing group) on CPython 3.11 and 3.13: the
# stubs against the module that make build made.
stubtest: build nox
	$(NOX) -s stubtest-3.11 stubtest-3.13

.PHONY: test-source-installs stubtest

# Release (-O3), the configuration most users and packagers build, with warnings as errors:
# the C++ tests and the Python suite on the oldest and newest pyenv interpreters and Debian's
# (make test runs it on each one; the one module serves them all). The wheel, format and
# reproducibility checks do not depend on the configuration and run in make test.
test-release: deps-test nox
	cmake -S . -B $(BUILD)-release -DCMAKE_BUILD_TYPE=Release -DBRAMBLELOFT_TESTS=ON -DBRAMBLELOFT_WERROR=ON $(CMAKE_NOX)
	cmake --build $(BUILD)-release -j $(JOBS)
	cd $(BUILD)-release && ctest --output-on-failure -j $(JOBS) \
	  -E '^(packaging|clang-format|reproducible|pytest-3\.(9|10|11|12))$$'

# dist/: the sdist, and for each architecture in DIST_ARCHS a wheel built from it (python -m
# build, isolated) and repaired by auditwheel, which must find it keeps to manylinux2014;
# then the abi3t wheel (dist-abi3t) and the wheels for one interpreter alone
# (DIST_INTERPRETERS: the free-threaded 3.13's cp313t) and the musllinux wheel (dist-musl);
# then every file is checked (abi3audit --strict on the abi3 wheels, tools/check_abi3t.py on the
# abi3t one, executable stack, twine check --strict). Another architecture adds its name to DIST_ARCHS and a dist-NAME target
# that leaves its repaired wheel in dist/. Timestamps are the last commit's, so one commit
# gives one wheel.
DIST_ARCHS = x86_64 aarch64
DIST_INTERPRETERS = cp313t
DIST_PACKAGES = $(BUILD_PACKAGES) python3-venv git
DIST_EPOCH = SOURCE_DATE_EPOCH=$$(git log -1 --format=%ct 2>/dev/null || date +%s)
dist: nox
	@bash tools/ensure_packages.sh $(DIST_PACKAGES)
	rm -rf dist
	$(MAKE) $(DIST_ARCHS:%=dist-%) dist-abi3t $(DIST_INTERPRETERS:%=dist-%) dist-musl
	$(NOX) -s dist_check

dist-x86_64: nox
	$(DIST_EPOCH) $(NOX) -s dist -- $(BUILD)/dist-x86_64 manylinux2014_x86_64

# Cross-compiled with the toolchain file; the build backend tags the wheel for aarch64 (it
# would take the build machine's tag otherwise), and auditwheel repairs it here all the same.
dist-aarch64: nox deps-cross
	$(DIST_EPOCH) $(NOX) -s dist -- $(BUILD)/dist-aarch64 manylinux2014_aarch64 \
	  -C env._PYTHON_HOST_PLATFORM=linux-aarch64 \
	  -C cmake.define.CMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/aarch64-linux-gnu.cmake

# cp315-abi3.abi3t, x86-64: CPython 3.15's stable ABI, which free-threaded interpreters load and
# GIL ones from 3.15 on. Built from the sdist in the sid root, the only system here with 3.15's
# headers, with its GCC 16 (tools/wheel_in_root.sh). The backend would tag a GIL interpreter's
# build cp315-abi3 alone, so the tags are given; auditwheel then repairs it here like the others.
ABI3T_TAGS = cp315-abi3-linux_x86_64;cp315-abi3t-linux_x86_64
dist-abi3t: nox
	@set -- $(SDIST); [ -f "$$1" ] || $(MAKE) dist-x86_64
	bash tools/make_root.sh sid $(ROOTS)/sid
	$(DIST_EPOCH) bash tools/wheel_in_root.sh $(ROOTS)/sid python3.15 $$(ls $(SDIST)) $(BUILD)/dist-abi3t \
	  -C cmake.define.BRAMBLELOFT_ABI3T=ON -C 'wheel.tags=$(ABI3T_TAGS)'
	$(DIST_EPOCH) $(NOX) -s repair -- $(BUILD)/dist-abi3t manylinux2014_x86_64

.PHONY: test-release dist $(DIST_ARCHS:%=dist-%) dist-abi3t $(DIST_INTERPRETERS:%=dist-%)

# Built from the sdist by the free-threaded 3.13 in its own isolated environment: CMake sees a
# free-threaded interpreter and builds the version-specific module (no limited API), tagged
# cp313-cp313t, which auditwheel repairs as the others.
dist-cp313t: nox python-3.13t
	$(DIST_EPOCH) $(FT_NOX) -s dist-3.13t -- $(BUILD)/dist-cp313t manylinux2014_x86_64

# The interpreters built here (the free-threaded and the musl CPython) and zig's cache live outside
# the clone, in a folder per digest of their sources, flags and build scripts, which $(BUILD) links
# to: a clean clone (CI's) reuses what an earlier one on this machine built. Empty: all in $(BUILD).
INTERPRETER_CACHE ?= $(or $(XDG_CACHE_HOME),$(HOME)/.cache)/brambleloft
export BRAMBLELOFT_INTERPRETER_CACHE = $(INTERPRETER_CACHE)

# A free-threaded CPython 3.13 (--disable-gil), built once from Debian 13's python3.13 source
# package (tools/cpython_source.sh, tools/build_cpython.sh) into the cache, linked from
# $(FT_PREFIX), and reused: no registry here serves one. About 10 minutes on 2 cores.
CPYTHON_SOURCE = $(BUILD)/cpython/src
FT_PREFIX = $(BUILD)/cpython/3.13t
FT_PYTHON = $(CURDIR)/$(FT_PREFIX)/bin/python3.13t
FT_NOX = BRAMBLELOFT_FT_PYTHON=$(FT_PYTHON) $(NOX)
python-3.13t:
	bash tools/build_cpython.sh "$$(bash tools/cpython_source.sh $(CPYTHON_SOURCE))" $(FT_PREFIX) --disable-gil
	@$(FT_PYTHON) -c 'import sys; print(sys.version); sys.exit(sys._is_gil_enabled())'

# The module built for the free-threaded 3.13 (version-specific, warnings as errors) into
# $(BUILD)-ft, and the whole Python suite on it with the GIL left off, as the module declares
# (the session fails if importing the module turns it on); then the thread stress test
# STRESS_RUNS more times on its own, and the route of a free-threaded interpreter without a
# wheel (3.14t): pip builds the sdist there, and the suite runs against what it installed;
# then make dist's cp313t wheel, if there is one, is installed and checked briefly.
FT_BUILD = $(BUILD)-ft
STRESS_TEST = test_threads.py
STRESS_RUNS ?= 5
test-freethreaded: deps-test nox python-3.13t
	cmake -S . -B $(FT_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRAMBLELOFT_TESTS=OFF -DBRAMBLELOFT_WERROR=ON \
	  -DBRAMBLELOFT_PYTHON=$(FT_PYTHON)
	cmake --build $(FT_BUILD) -j $(JOBS)
	BRAMBLELOFT_MODULE_DIR=$(CURDIR)/$(FT_BUILD) $(FT_NOX) -s tests-3.13t
	@if [ -f tests/python/$(STRESS_TEST) ]; then \
	  for run in $$(seq $(STRESS_RUNS)); do echo "$(STRESS_TEST): run $$run of $(STRESS_RUNS)"; \
	    BRAMBLELOFT_MODULE_DIR=$(CURDIR)/$(FT_BUILD) $(FT_NOX) -R -s tests-3.13t -- $(STRESS_TEST) || exit 1; done; \
	else echo "tests/python/$(STRESS_TEST) is not there yet: no separate stress runs"; fi
	$(FT_NOX) -s install-3.13t -- $(FT_BUILD)/sdist $(wildcard $(WHEEL_CP313T))

.PHONY: python-3.13t test-freethreaded dist-cp313t

# ThreadSanitizer on the real interpreter: a free-threaded 3.13 built with
# --with-thread-sanitizer (cached like the others, in $(TSAN_PREFIX)), the module built with
# -fsanitize=thread, and the thread tests (the scenarios, whose child processes run under it
# too, and the stress test) under it. CPython's own suppressions for its free-threaded build
# apply, none for our code: any report fails the run. Not part of CI, which has no room for
# another interpreter build.
TSAN_PREFIX = $(BUILD)/cpython/3.13t-tsan
TSAN_PYTHON = $(CURDIR)/$(TSAN_PREFIX)/bin/python3.13t
TSAN_VENV = $(BUILD)-tsan/venv
test-tsan: deps-test nox
	bash tools/build_cpython.sh "$$(bash tools/cpython_source.sh $(CPYTHON_SOURCE))" $(TSAN_PREFIX) \
	  --disable-gil --with-thread-sanitizer
	cmake -S . -B $(BUILD)-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRAMBLELOFT_TESTS=OFF -DBRAMBLELOFT_WERROR=ON \
	  -DBRAMBLELOFT_TSAN=ON -DBRAMBLELOFT_PYTHON=$(TSAN_PYTHON)
	cmake --build $(BUILD)-tsan -j $(JOBS)
	@[ -x $(TSAN_VENV)/bin/python ] || { TSAN_OPTIONS=report_bugs=0 $(TSAN_PYTHON) -m venv $(TSAN_VENV) && \
	  TSAN_OPTIONS=report_bugs=0 $(TSAN_VENV)/bin/pip install -q $$(/usr/bin/python3 -c \
	  'import tomllib; print(" ".join(tomllib.load(open("pyproject.toml", "rb"))["dependency-groups"]["test-freethreaded"]))'); }
	cd tests/python && PYTHONPATH=$(CURDIR)/$(BUILD)-tsan PYTHON_GIL=0 \
	  TSAN_OPTIONS="suppressions=$$(bash $(CURDIR)/tools/cpython_source.sh $(CURDIR)/$(CPYTHON_SOURCE))/Tools/tsan/suppressions_free_threading.txt exitcode=66" \
	  $(CURDIR)/$(TSAN_VENV)/bin/python -m pytest -p no:cacheprovider -q $(STRESS_TEST)

.PHONY: test-tsan

# Platforms beyond this machine: aarch64 (cross-built, run under qemu-user), Debian unstable's
# CPython 3.14 and 3.15, Debian 11 (glibc 2.31, CPython 3.9). Each runs the Python suite inside a
# Debian root made once under $(BUILD)/roots, against the wheels in dist/ (made first if missing).
ROOTS = $(BUILD)/roots
CROSS_PACKAGES = g++-aarch64-linux-gnu libpython3-dev:arm64 libxxhash-dev:arm64 libgtest-dev:arm64
PLATFORM_PACKAGES = debootstrap qemu-user-static xxhash
WHEEL_X86_64 = dist/brambleloft-*-cp38-abi3-*manylinux2014_x86_64*.whl
WHEEL_AARCH64 = dist/brambleloft-*-cp38-abi3-*manylinux2014_aarch64*.whl
WHEEL_ABI3T = dist/brambleloft-*-cp315-abi3.abi3t-*manylinux2014_x86_64*.whl
SDIST = dist/brambleloft-*.tar.gz
WHEEL_CP313T = dist/brambleloft-*-cp313-cp313t-*manylinux2014_x86_64*.whl
SUDO = $(if $(filter 0,$(shell id -u)),,sudo)
.PHONY: deps-cross deps-platforms build-aarch64 test-platforms test-aarch64 test-sid test-bullseye

deps-cross:
	@dpkg --print-foreign-architectures | grep -qx arm64 || $(SUDO) dpkg --add-architecture arm64
	@bash tools/ensure_packages.sh $(BUILD_PACKAGES) $(CROSS_PACKAGES) qemu-user-static
deps-platforms:
	@bash tools/ensure_packages.sh $(PLATFORM_PACKAGES)

# The module and the C++ tests, cross-compiled for aarch64 with Debian's toolchain.
build-aarch64: deps-cross
	cmake -S . -B $(BUILD)-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRAMBLELOFT_TESTS=ON -DBRAMBLELOFT_WERROR=ON
	cmake --build $(BUILD)-aarch64 -j $(JOBS) --target brambleloft core_tests

test-platforms: test-aarch64 test-sid test-bullseye test-musl

# Left out of the emulated run only (it runs natively in make test): the 4 GiB pair would
# take many minutes under qemu-user.
QEMU_EXCLUDED_CORE_TESTS = PairStore.APairLongerThanFourGibibytesKeepsBothLengths:$(LONG_MODEL_RUN)

# The C++ tests under qemu-user, with the arm64 root's runtime (a new thread hangs under this
# qemu with the cross toolchain's own libc); the Python suite on arm64 CPython 3.11 (Debian
# 12's), from the aarch64 wheel, under qemu-user too.
# The wheel's module must need no glibc symbol newer than 2.17 (the policy would take 2.18 here).
test-aarch64: build-aarch64 deps-platforms
	bash tools/make_root.sh arm64 $(ROOTS)/arm64
	qemu-aarch64-static -L $(ROOTS)/arm64 $(BUILD)-aarch64/tests/core_tests --gtest_brief=1 \
	  --gtest_filter='-$(QEMU_EXCLUDED_CORE_TESTS)'
	@set -- $(WHEEL_AARCH64); [ -f "$$1" ] || $(MAKE) dist
	@/usr/bin/python3 -c 'import sys, zipfile; sys.stdout.buffer.write(zipfile.ZipFile(sys.argv[1]).read("brambleloft.abi3.so"))' \
	  $$(ls $(WHEEL_AARCH64)) > $(BUILD)-aarch64/wheel-module.so
	@newest=$$(readelf -V $(BUILD)-aarch64/wheel-module.so | grep -oE 'GLIBC_[0-9.]+' | sort -uV | tail -n 1); \
	  echo "the aarch64 wheel's module needs glibc symbols up to $$newest"; \
	  [ "$$(printf '%s\n' GLIBC_2.17 $$newest | sort -V | tail -n 1)" = GLIBC_2.17 ]
	bash tests/platforms/qemu_suite.sh $(ROOTS)/arm64 $$(ls $(WHEEL_AARCH64)) $(BUILD)/platforms/arm64

# CPython 3.14 and 3.15 from Debian unstable: the wheel, and a build of the sdist with that
# system's GCC, CMake and headers; then the abi3t wheel on (GIL) 3.15, loaded from its .abi3t.so.
test-sid: deps-platforms
	@set -- $(WHEEL_X86_64); [ -f "$$1" ] || $(MAKE) dist
	@set -- $(WHEEL_ABI3T); [ -f "$$1" ] || $(MAKE) dist-abi3t
	bash tools/make_root.sh sid $(ROOTS)/sid
	bash tests/platforms/root_suite.sh $(ROOTS)/sid $$(ls $(WHEEL_X86_64)) python3.14 python3.15 -- $$(ls $(SDIST))
	bash tests/platforms/root_suite.sh $(ROOTS)/sid $$(ls $(WHEEL_ABI3T)) python3.15

# An older system than ours: Debian 11, glibc 2.31, CPython 3.9 with its own pip.
test-bullseye: deps-platforms
	@set -- $(WHEEL_X86_64); [ -f "$$1" ] || $(MAKE) dist
	bash tools/make_root.sh bullseye $(ROOTS)/bullseye
	bash tests/platforms/root_suite.sh $(ROOTS)/bullseye $$(ls $(WHEEL_X86_64)) python3

# musl (Alpine and the like): a musllinux_1_2 wheel built with zig's C++ for x86_64-linux-musl,
# tested on a musl CPython 3.13 built here from the CPython source that tools/cpython_source.sh
# shares with the other CPython builds, run by Debian's musl 1.2.3 loader. The sources of zlib and
# libffi (which that CPython needs for pip and ctypes) come from Debian 12's source packages.
MUSL = $(BUILD)/musl
MUSL_TOOLCHAIN = $(MUSL)/toolchain
MUSL_PYTHON = $(MUSL)/python/bin/python3
WHEEL_MUSL = dist/brambleloft-*-cp38-abi3-musllinux_1_2_x86_64.whl
.PHONY: musl-python dist-musl test-musl

$(MUSL_TOOLCHAIN)/bin/c++: pyproject.toml tools/musl/toolchain.sh | nox
	$(NOX) -s musl_toolchain -- $(CURDIR)/$(MUSL_TOOLCHAIN)

# Built once; build_python.sh rebuilds it when a source or the toolchain changes.
musl-python: $(MUSL_TOOLCHAIN)/bin/c++ deps-build
	bash tools/musl/build_python.sh $(MUSL_TOOLCHAIN) "$$(bash tools/cpython_source.sh $(CPYTHON_SOURCE))" \
	  "$$(bash tools/debian_source.sh bookworm zlib $(MUSL)/src/zlib)" \
	  "$$(bash tools/debian_source.sh bookworm libffi $(MUSL)/src/libffi)" /usr/include/xxhash.h $(MUSL)/python

# The module is built against the musl CPython's headers, with xxhash.h in a folder of its own
# (the machine's /usr/include is glibc's). auditwheel learns musl's version from Alpine's name
# for the C library, /lib/libc.musl-x86_64.so.1: a link to Debian's musl loader gives it.
dist-musl: nox musl-python
	@[ -e /lib/libc.musl-x86_64.so.1 ] || $(SUDO) ln -s ld-musl-x86_64.so.1 /lib/libc.musl-x86_64.so.1
	mkdir -p $(MUSL)/include && cp /usr/include/xxhash.h $(MUSL)/include/
	$(DIST_EPOCH) $(NOX) -s dist -- $(BUILD)/dist-musl musllinux_1_2_x86_64 \
	  -C cmake.define.CMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/x86_64-linux-musl.cmake \
	  -C cmake.define.BRAMBLELOFT_MUSL_TOOLCHAIN=$(CURDIR)/$(MUSL_TOOLCHAIN) \
	  -C cmake.define.BRAMBLELOFT_PYTHON=$(CURDIR)/$(MUSL_PYTHON) \
	  -C cmake.define.XXHASH_INCLUDE_DIR=$(CURDIR)/$(MUSL)/include

# The wheel installed by the musl CPython's own pip into a fresh virtual environment, the suite
# run there: on the machine's musl 1.2.3, then on Debian 11's musl 1.2.2 (from the bullseye root),
# whose loader starts the interpreter and its subprocesses. musl has no symbol versions, so only a
# run on an older musl shows that the module asks for nothing newer.
test-musl: musl-python deps-platforms
	@set -- $(WHEEL_MUSL); [ -f "$$1" ] || $(MAKE) dist-musl
	bash tools/make_root.sh bullseye $(ROOTS)/bullseye
	rm -rf $(MUSL)/test-wheels
	$(NOX) -s musl_test_wheels -- $(CURDIR)/$(MUSL)/test-wheels
	bash tests/platforms/musl_suite.sh $(MUSL_PYTHON) $$(ls $(WHEEL_MUSL)) $(MUSL)/test-wheels $(MUSL)/suite
	BRAMBLELOFT_TEST_EMULATOR=$(CURDIR)/$(ROOTS)/bullseye/lib/ld-musl-x86_64.so.1 \
	  bash tests/platforms/musl_suite.sh $(MUSL_PYTHON) $$(ls $(WHEEL_MUSL)) $(MUSL)/test-wheels $(MUSL)/suite-1.2.2

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-tsan $(BUILD)-bench $(BUILD)-release $(BUILD)-fuzz $(BUILD)-cov $(BUILD)-aarch64 $(BUILD)-ft dist
