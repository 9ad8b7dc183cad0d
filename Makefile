# The two commands a new user needs: `make run` and `make test`.
BUILD ?= build
JOBS ?= 2

.PHONY: deps build run test bench fuzz clean

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j$(JOBS)

run: build
	scripts/run-demo.sh $(BUILD)/velkin

test: build
	scripts/run-tests.sh $(BUILD)

clean:
	rm -rf $(BUILD)
