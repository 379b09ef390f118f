# Entry points for people: `make test` is the test command of the README.
.PHONY: all build test test-asan test-tsan bench fuzz clean

all: build

build:
	scripts/install-deps
	cmake --preset default
	cmake --build --preset default

test:
	scripts/test default

test-asan:
	scripts/test asan

test-tsan:
	scripts/test tsan

bench: build
	scripts/bench

fuzz:
	scripts/fuzz

clean:
	rm -rf build
