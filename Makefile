# Entry points for people: `make test` is the test command of the README.
.PHONY: all build package demo console test test-asan test-tsan soak mutants bench fuzz clean

all: build

build:
	scripts/install-deps
	cmake --preset default
	cmake --build --preset default

# The Debian packages zqoutput and zq-control, into build/default/packages
# (builds only what they hold).
package:
	scripts/install-deps
	cmake --preset default
	cmake --build --preset default --target zq_packages

# Two test output services on loopback driven through zqctl.
demo:
	scripts/demo

# The web console with three outputs on loopback, until Ctrl-C.
console:
	scripts/console

test:
	scripts/test default

test-asan:
	scripts/test asan

test-tsan:
	scripts/test tsan

# Every test program many times beside a CPU hog: make soak SOAK_ARGS="-n 50 rpc_"
soak:
	scripts/install-deps
	scripts/soak $(SOAK_ARGS)

# The faults of scripts/mutants.txt, one at a time: make mutants MUTANTS_ARGS="params-*"
mutants:
	scripts/install-deps
	scripts/mutants $(MUTANTS_ARGS)

# The benchmarks, with GStreamer for the fan-out comparison (not for CI).
bench: build
	scripts/install-deps --bench
	scripts/bench

fuzz:
	scripts/fuzz

clean:
	rm -rf build
