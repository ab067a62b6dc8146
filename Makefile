# The two commands of the README: `make run` and `make test`.
# `make bench` runs the benchmarks (not part of `make test`).
# `make fuzz SECONDS=N` fuzzes each parser N seconds (natively, no Wine).

BUILD := build
ARGS ?=
# i686 or x86_64: the build `make run` and `make bench` use (and the only
# one `make test` runs). Empty: i686 where this machine runs 32-bit code,
# else x86_64; `make test` then runs every architecture that runs here.
ARCH ?=
export ARCH
# Seconds per target of `make fuzz`.
SECONDS ?= 60

.PHONY: all build run test deps bench fuzz clean

all: build

deps:
	@tools/install-deps.sh

build: deps
	@tools/build.sh

test: deps
	@tools/test.sh

run: deps
	@tools/run.sh $(ARGS)

bench: deps
	@tools/bench.sh

fuzz: deps
	@tools/fuzz.sh $(SECONDS)

clean:
	rm -rf $(BUILD)
