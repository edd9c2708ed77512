# Quick start: `make demo` builds cvlistcheck and runs it on the bundled example lists;
# `make check` installs what is missing, builds, and runs every test three times: in a normal
# build, under AddressSanitizer + UndefinedBehaviorSanitizer, and in a Release build; and the
# engine's tests a fourth time under ThreadSanitizer.

JOBS ?= $(shell nproc)
BUILD ?= build
BUILD_ASAN ?= build-asan
BUILD_RELEASE ?= build-release
BUILD_TSAN ?= build-tsan
BUILD_BENCH ?= build-bench
BUILD_FUZZ ?= build-fuzz
BUILD_PACKAGE ?= build-package
PREFIX ?= /usr/local
DESTDIR ?=
FUZZ_SECONDS ?= 60
CMAKE_FLAGS ?=
CCACHE_FLAGS = $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# Development builds turn warnings into errors; a plain cmake build does not.
DEV_FLAGS = -DCV_WERROR=ON $(CCACHE_FLAGS)

# ccache, when present, shares compiled objects between build folders and clones.
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := true

.PHONY: all deps build test check check-asan check-release check-tsan bench fuzz clean format demo \
	install uninstall package package-check

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

# ThreadSanitizer over the engine's test programs alone (label "engine": util, records,
# stores, urllist), where shared lists and locks live; the tools are single-threaded users
# of the engine, and leaving them out keeps this build small.
check-tsan: deps
	cmake -S . -B $(BUILD_TSAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCV_TSAN=ON $(DEV_FLAGS) $(CMAKE_FLAGS)
	cmake --build $(BUILD_TSAN) -j $(JOBS) --target test_util test_records test_stores test_urllist
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir $(BUILD_TSAN) --output-on-failure -j $(JOBS) -L engine

check: test check-asan check-release check-tsan

bench: deps
	cmake -S . -B $(BUILD_BENCH) -G Ninja -DCMAKE_BUILD_TYPE=Release -DCV_BENCH=ON -DBUILD_TESTING=OFF $(DEV_FLAGS) $(CMAKE_FLAGS)
	cmake --build $(BUILD_BENCH) -j $(JOBS)
	bash bench/run.sh $(BUILD_BENCH)

fuzz: deps
	CC=clang-14 CXX=clang++-14 cmake -S . -B $(BUILD_FUZZ) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCV_FUZZ=ON $(DEV_FLAGS) $(CMAKE_FLAGS)
	cmake --build $(BUILD_FUZZ) -j $(JOBS)
	bash fuzz/run.sh $(BUILD_FUZZ) $(FUZZ_SECONDS)

# `make install` builds the programs and their manual pages in $(BUILD) and installs them under
# $(DESTDIR)$(PREFIX): bin/, share/man/man1/, share/doc/corvane-tools/ (examples, copyright).
# `make uninstall` (same PREFIX and DESTDIR) removes exactly those files.
install: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(DEV_FLAGS) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target cvtools
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

uninstall:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(DEV_FLAGS) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target cvtools
	cmake -DBUILD_DIR=$(BUILD) -DPREFIX="$(PREFIX)" -DDESTDIR="$(DESTDIR)" -P cmake/uninstall.cmake

# `make package` builds the programs as a Debian package build does (dpkg-buildflags with full
# hardening, build type None, no tests) and makes $(BUILD_PACKAGE)/corvane-tools_*.deb with
# CPack. `make package-check` then checks the package: contents, dependencies, the programs
# run from an unpacked copy, lintian.
package: deps
	rm -f $(BUILD_PACKAGE)/*.deb
	eval "$$(DEB_BUILD_MAINT_OPTIONS=$${DEB_BUILD_MAINT_OPTIONS:-hardening=+all} dpkg-buildflags --export=sh)" && \
	  cmake -S . -B $(BUILD_PACKAGE) -G Ninja -DCMAKE_BUILD_TYPE=None -DBUILD_TESTING=OFF $(CCACHE_FLAGS) $(CMAKE_FLAGS) && \
	  cmake --build $(BUILD_PACKAGE) -j $(JOBS) --target cvtools && \
	  cmake --build $(BUILD_PACKAGE) --target package

package-check: package
	bash tests/package/check_deb.sh $(BUILD_PACKAGE)/corvane-tools_*.deb

format:
	find libcore tools tests bench fuzz -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_RELEASE) $(BUILD_TSAN) $(BUILD_BENCH) $(BUILD_FUZZ) $(BUILD_PACKAGE)
