# Quick start: `make check` installs what is missing, builds, and runs every test twice:
# once in a normal build and once under AddressSanitizer + UndefinedBehaviorSanitizer.

JOBS ?= $(shell nproc)
BUILD ?= build
BUILD_ASAN ?= build-asan
BUILD_BENCH ?= build-bench
BUILD_FUZZ ?= build-fuzz
FUZZ_SECONDS ?= 60
CMAKE_FLAGS ?=

.PHONY: all deps build test check check-asan bench fuzz clean format demo

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	./$(BUILD)/bin/cvlistcheck -d -C -i examples/demo.list -f examples/demo.urls

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

check-asan: deps
	cmake -S . -B $(BUILD_ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCV_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(BUILD_ASAN) --output-on-failure -j $(JOBS)

check: test check-asan

bench: deps
	cmake -S . -B $(BUILD_BENCH) -G Ninja -DCMAKE_BUILD_TYPE=Release -DCV_BENCH=ON -DCV_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(BUILD_BENCH) -j $(JOBS)
	bash bench/run.sh $(BUILD_BENCH)

fuzz: deps
	CC=clang-14 CXX=clang++-14 cmake -S . -B $(BUILD_FUZZ) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCV_FUZZ=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD_FUZZ) -j $(JOBS)
	bash fuzz/run.sh $(BUILD_FUZZ) $(FUZZ_SECONDS)

format:
	find libcore tools tests bench fuzz -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_BENCH) $(BUILD_FUZZ)
