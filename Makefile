# The two commands of the README: `make run` and `make test`.
# `make bench` runs the benchmarks (not part of `make test`).

BUILD := build
ARGS ?=

.PHONY: all build run test deps bench clean

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

clean:
	rm -rf $(BUILD)
