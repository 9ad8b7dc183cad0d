# The two commands a new user needs: `make run` and `make test`.
BUILD ?= build
JOBS ?= 2

.PHONY: deps build configure-sanitized build-sanitized build-fuzzers run test bench fuzz clean

deps:
	@scripts/install-deps.sh

# A new folder is set up for Ninja, which keeps both cores busy across
# targets; a folder set up before keeps its generator.
configure = cmake -S . -B $(1) $(if $(wildcard $(1)/CMakeCache.txt),,-G Ninja) \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo $(2) >/dev/null

build: deps
	$(call configure,$(BUILD))
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

SANITIZE_OPTIONS = -DVELKIN_SANITIZE=ON -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG"
FUZZ_OPTIONS = -DCMAKE_CXX_COMPILER=clang++ -DVELKIN_FUZZ=ON

configure-sanitized: deps
	$(call configure,$(ASAN_BUILD),$(SANITIZE_OPTIONS))

build-sanitized: configure-sanitized
	cmake --build $(ASAN_BUILD) -j$(JOBS)

build-fuzzers: deps
	$(call configure,$(FUZZ_BUILD),$(FUZZ_OPTIONS))
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target fuzzers

# The builds keep both cores busy; the checks mostly wait (on servers, on a
# virtual X server, on the fuzzers' timers). So once the plain build is done
# its suite and the package check run beside the sanitized build, whose
# servers start while it builds; the fuzz build fills the gaps at low
# priority. Each check's output is printed whole when it ends.
test: build configure-sanitized
	scripts/side-by-side.sh "scripts/run-tests.sh $(BUILD)" \
	  "scripts/run-tests.sh --build-first 'cmake --build $(ASAN_BUILD) -j$(JOBS)' $(ASAN_BUILD)" \
	  "scripts/check-package.sh $(BUILD)" \
	  "nice $(MAKE) --no-print-directory build-fuzzers && fuzz/run-fuzz.sh $(FUZZ_BUILD) $(FUZZ_SMOKE_SECONDS)"

fuzz: build-fuzzers
	fuzz/run-fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# The benchmark builds in a folder of its own, always optimised.
BENCH_BUILD ?= build-bench
bench: deps
	$(call configure,$(BENCH_BUILD))
	cmake --build $(BENCH_BUILD) -j$(JOBS) --target velkin_bench
	bench/run-bench.sh $(BENCH_BUILD) $(BENCH_ARGS)

# The Debian package, left in $(BUILD)/ (velkin_VERSION_ARCH.deb).
.PHONY: package
package: build
	cmake --build $(BUILD) --target package

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
