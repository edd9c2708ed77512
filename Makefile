# Quick start: `make demo` builds cvlistcheck and runs it on the bundled example lists;
# `make check` installs what is missing, builds, and runs every test three times: in a normal
# build, under AddressSanitizer + UndefinedBehaviorSanitizer, and in a Release build.

JOBS ?= $(shell nproc)
BUILD ?= build
BUILD_ASAN ?= build-asan
BUILD_RELEASE ?= build-release
BUILD_BENCH ?= build-bench
BUILD_FUZZ ?= build-fuzz
FUZZ_SECONDS ?= 60
CMAKE_FLAGS ?=
# Development builds turn warnings into errors; a plain cmake build does not.
DEV_FLAGS = -DCV_WERROR=ON $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

# ccache, when present, shares compiled objects between build folders and clones.
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := true

.PHONY: all deps build test check check-asan check-release bench fuzz clean format demo

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(DEV_FLAGS) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

demo: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(DEV_FLAGS) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target cvlistcheck
	./$(BUILD)/bin/cvlistcheck -d -C -i examples/demo.list -f examples/demo.urls

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

check-asan: deps
	cmake -S . -B $(BUILD_ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCV_SANITIZE=ON $(DEV_FLAGS) $(CMAKE_FLAGS)
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(BUILD_ASAN) --output-on-failure -j $(JOBS)

# The optimiser's own warnings (GCC at -O3) show only here.
check-release: deps
	cmake -S . -B $(BUILD_RELEASE) -G Ninja -DCMAKE_BUILD_TYPE=Release $(DEV_FLAGS) $(CMAKE_FLAGS)
	cmake --build $(BUILD_RELEASE) -j $(JOBS)
	ctest --test-dir $(BUILD_RELEASE) --output-on-failure -j $(JOBS)

check: test check-asan check-release

bench: deps
	cmake -S . -B $(BUILD_BENCH) -G Ninja -DCMAKE_BUILD_TYPE=Release -DCV_BENCH=ON -DBUILD_TESTING=OFF $(DEV_FLAGS) $(CMAKE_FLAGS)
	cmake --build $(BUILD_BENCH) -j $(JOBS)
	bash bench/run.sh $(BUILD_BENCH)

fuzz: deps
	CC=clang-14 CXX=clang++-14 cmake -S . -B $(BUILD_FUZZ) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCV_FUZZ=ON $(DEV_FLAGS) $(CMAKE_FLAGS)
	cmake --build $(BUILD_FUZZ) -j $(JOBS)
	bash fuzz/run.sh $(BUILD_FUZZ) $(FUZZ_SECONDS)

format:
	find libcore tools tests bench fuzz -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_RELEASE) $(BUILD_BENCH) $(BUILD_FUZZ)
