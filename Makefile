# Entry points: `make run` and `make test` (see README.md).
JOBS ?= $(shell nproc)
# Tests spend much of their time waiting on child processes and timers: twice
# as many at once as there are cores keeps the cores busy.
TEST_JOBS ?= $(shell echo $$(( $(JOBS) * 2 )))
CMAKE ?= cmake

.PHONY: all deps build run test tsan fuzz bench clean format

all: build

deps:
	@./scripts/deps.sh

# Release build of everything: libraries, front end, examples and benchmarks.
build: deps
	@$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=Release -DKLARVIK_BENCH=ON >/dev/null
	@$(CMAKE) --build build -j$(JOBS)

run: build
	@./scripts/demo.sh build

# Debug build with AddressSanitizer and UndefinedBehaviorSanitizer; any report fails the run.
test: deps
	@$(CMAKE) -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKLARVIK_SANITIZE=address >/dev/null
	@$(CMAKE) --build build-asan -j$(JOBS)
	@cd build-asan && ctest --output-on-failure -j$(TEST_JOBS)

# The tests that run threads, under ThreadSanitizer: only their programs are
# built (a threaded test left out of this list shows as "Not Run" and fails).
TSAN_TARGETS ?= test_async test_cleaner_fs test_cleaner_fs_faults test_cleaner_workaround test_core test_core_details \
	test_cleaner test_core_int test_platform
tsan: deps
	@$(CMAKE) -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DKLARVIK_SANITIZE=thread >/dev/null
	@$(CMAKE) --build build-tsan -j$(JOBS) --target $(TSAN_TARGETS)
	@cd build-tsan && ctest --output-on-failure -j$(TEST_JOBS) -L threaded

# The fuzz targets (clang, libFuzzer, ASan and UBSan), each run FUZZ_SECONDS
# from a copy of its seed corpus; any finding fails the run (see README.md).
FUZZ_SECONDS ?= 60
fuzz:
	@./scripts/deps.sh fuzz
	@$(CMAKE) -S . -B build-fuzz -DKLARVIK_FUZZ=ON -DKLARVIK_TESTS=OFF \
		-DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
	@$(CMAKE) --build build-fuzz -j$(JOBS) --target fuzzers
	@./fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

bench: build
	@./bench/run.sh build

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build build-asan build-tsan build-fuzz
