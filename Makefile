# The two commands a new user needs: `make run` and `make test`.
BUILD ?= build
JOBS ?= 2

.PHONY: deps build build-sanitized build-fuzzers run test bench fuzz clean

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j$(JOBS)

run: build
	scripts/run-demo.sh $(BUILD)/velkin

# `make test` also runs the suite built with AddressSanitizer and
# UndefinedBehaviorSanitizer (-O1 -g1 keeps it quick) and every fuzz target for a
# few seconds; `make fuzz` runs the fuzz targets for FUZZ_SECONDS each.
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 4

build-sanitized: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKIN_SANITIZE=ON \
	  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" >/dev/null
	cmake --build $(ASAN_BUILD) -j$(JOBS)

build-fuzzers: deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKIN_FUZZ=ON >/dev/null
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target fuzzers

# The three checks share no state, and mostly wait (on servers, on a virtual X
# server, on the fuzzers' timers): they run side by side.
test: build build-sanitized build-fuzzers
	scripts/side-by-side.sh "scripts/run-tests.sh $(BUILD) $(ASAN_BUILD)" \
	  "scripts/check-package.sh $(BUILD)" "fuzz/run-fuzz.sh $(FUZZ_BUILD) $(FUZZ_SMOKE_SECONDS)"

fuzz: build-fuzzers
	fuzz/run-fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# The benchmark builds in a folder of its own, always optimised.
BENCH_BUILD ?= build-bench
bench: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BENCH_BUILD) -j$(JOBS) --target velkin_bench
	bench/run-bench.sh $(BENCH_BUILD) $(BENCH_ARGS)

# The Debian package, left in $(BUILD)/ (velkin_VERSION_ARCH.deb).
.PHONY: package
package: build
	cmake --build $(BUILD) --target package

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
