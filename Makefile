# Entry points for people and CI. Each target installs the Debian packages it lacks.
BUILD ?= build
JOBS ?= $(shell nproc)
BUILD_PACKAGES = cmake g++ make binutils libxxhash-dev python3-dev libgtest-dev
TEST_PACKAGES = $(BUILD_PACKAGES) xxhash python3-pytest python3-hypothesis \
                python3-exceptiongroup python3-tomli python3-pip python3-setuptools python3-wheel \
                python3-venv python3-mypy python3-setuptools-whl python3-wheel-whl
BENCH_PACKAGES = $(BUILD_PACKAGES) python3-networkx

.PHONY: all build demo test bench deps-build deps-test deps-bench sanitize memcheck clean

all: build

deps-build:
	@bash tools/ensure_packages.sh $(BUILD_PACKAGES)
deps-test:
	@bash tools/ensure_packages.sh $(TEST_PACKAGES)
deps-bench:
	@bash tools/ensure_packages.sh $(BENCH_PACKAGES)

build: deps-build
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRAMBLELOFT_TESTS=ON
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	PYTHONPATH=$(BUILD) /usr/bin/python3 examples/demo.py

test: deps-test build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The C++ tests, and the Python suite through the module, under AddressSanitizer and UBSan.
sanitize: deps-test
	cmake -S . -B $(BUILD)-asan -DCMAKE_BUILD_TYPE=Debug -DBRAMBLELOFT_SANITIZE=ON
	cmake --build $(BUILD)-asan -j $(JOBS)
	ASAN_OPTIONS=allocator_may_return_null=1 $(BUILD)-asan/tests/core_tests
	cd tests/python && \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
	  PYTHONPATH=$(CURDIR)/$(BUILD)-asan:$$(bash ../pytest_path.sh) /usr/bin/python3 -m pytest -q -p no:cacheprovider

# Native leaks and invalid accesses in the module, under valgrind, while the demo runs.
memcheck: build
	bash tools/ensure_packages.sh valgrind
	PYTHONMALLOC=malloc PYTHONPATH=$(BUILD) valgrind --quiet --leak-check=full --show-leak-kinds=definite \
	  --errors-for-leak-kinds=definite --error-exitcode=1 /usr/bin/python3 examples/demo.py > /dev/null

bench: deps-bench build
	PYTHONPATH=$(BUILD) /usr/bin/python3 bench/bench.py

clean:
	rm -rf $(BUILD) $(BUILD)-asan
