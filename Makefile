# Thin wrapper over CMake: `make run` builds (Release) the tool and runs the main job, `make test` builds and runs
# every test.
BUILD ?= build
TEST_BUILD ?= build-test
BUILD_WIN ?= build-win
HWID ?=
JOBS ?= $(shell nproc)

.PHONY: run test build build-test asan tsan clang analyze fuzz bench windows clean deps-run deps-test deps-bench deps-ci deps-windows

deps-run:
	./tools/install-deps.sh run

deps-test:
	./tools/install-deps.sh test

deps-bench:
	./tools/install-deps.sh bench

deps-ci:
	./tools/install-deps.sh ci

deps-windows:
	./tools/install-deps.sh windows

# The tool's end-to-end tests mostly wait (a quarter of a core each in the plain build): they run several per
# core first (four in the plain build, two under AddressSanitizer, which doubles their CPU time), then the rest
# of the suite, which keeps a core busy per test, one per core.
WAITING_TESTS = ^(image\.)?Tool(E2E|Keep|Status)\.
run-suite = cd $(1) && { ctest --output-on-failure -j $$(($(2) * $(JOBS))) -R '$(WAITING_TESTS)'; waiting=$$?; \
  ctest --output-on-failure -j $(JOBS) -E '$(WAITING_TESTS)' && exit $$waiting; }

configure-release = cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null

# Everything, in Release (the benchmarks run from it).
build: deps-run
	$(configure-release)
	cmake --build $(BUILD) -j $(JOBS)

# Only what the main job runs: the tool and the libraries it links, not the suite.
run: deps-run
	$(configure-release)
	cmake --build $(BUILD) -j $(JOBS) --target zadivo
	./tools/run-main-job.sh $(BUILD)

build-test: deps-test
	cmake -S . -B $(TEST_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(TEST_BUILD) -j $(JOBS)

test: build-test
	$(call run-suite,$(TEST_BUILD),4)

asan: deps-test
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZADIVO_ASAN=ON >/dev/null
	cmake --build build-asan -j $(JOBS)
	$(call run-suite,build-asan,2)

tsan: deps-test
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZADIVO_TSAN=ON >/dev/null
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && ctest --output-on-failure -j $(JOBS)

# Everything built by clang with warnings as errors: clang refuses what GCC accepts, and miscompiles at the
# Microsoft-convention boundary (va_start in an ms_abi variadic function), so the tests labelled ms-abi, which
# cross it, run on this build. CLANG_TESTS= runs the whole suite.
CLANG_TESTS ?= -L ms-abi
clang: deps-ci
	CC=clang CXX=clang++ cmake -S . -B build-clang -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-Werror >/dev/null
	cmake --build build-clang -j $(JOBS)
	cd build-clang && ctest --output-on-failure -j $(JOBS) $(CLANG_TESTS)

# The clang static analyser over the driver (zadivo/, demod/, tuner/, the only targets built); any finding
# fails the target, the report stays in build-analyze/report.
analyze: deps-ci
	rm -rf build-analyze
	scan-build --use-cc=clang --use-c++=clang++ cmake -S . -B build-analyze -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
	scan-build --use-cc=clang --use-c++=clang++ --status-bugs -o build-analyze/report \
	  cmake --build build-analyze -j $(JOBS) --target zadivo_driver zadivo_cxd6802 zadivo_demod zadivo_tuner

# The property interface under libFuzzer with AddressSanitizer for a minute (clang).
fuzz: deps-ci
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZADIVO_FUZZ=ON \
	  -DCMAKE_CXX_FLAGS="-fsanitize=address,fuzzer-no-link" >/dev/null
	cmake --build build-fuzz -j $(JOBS) --target property_fuzzer
	ZADIVO_TIME_SCALE=0.02 ./build-fuzz/tests/fuzz/property_fuzzer -max_total_time=60 -max_len=4096

# The driver as a Windows x64 kernel driver, $(BUILD_WIN)/zadivo.sys (mingw-w64 cross build). The INF needs the
# card's PCI hardware ids: make windows HWID='PCI\VEN_xxxx&DEV_xxxx' (several: separated by commas).
windows: deps-windows
	cmake -S . -B $(BUILD_WIN) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/platform/win/toolchain-mingw-w64.cmake -DZADIVO_HWID='$(HWID)' >/dev/null
	cmake --build $(BUILD_WIN) -j $(JOBS)
	@if [ -n '$(HWID)' ]; then echo "zadivo: $(BUILD_WIN)/zadivo.sys, $(BUILD_WIN)/zadivo.inf"; \
	else echo "zadivo: $(BUILD_WIN)/zadivo.sys; INF skipped: no HWID given (make windows HWID='PCI\VEN_xxxx&DEV_xxxx')"; fi

# Runs the benchmarks and the capture and prints the README's "Measured" table.
bench: build deps-bench
	./bench/figures.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(TEST_BUILD) $(BUILD_WIN) build-asan build-tsan build-clang build-analyze build-fuzz
