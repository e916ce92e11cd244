.PHONY: all setup demo test bench clean

all: test

setup:
	@bash scripts/setup.sh

demo: setup
	@.venv/bin/python examples/demo.py $(ARGS)

test: setup
	@bash scripts/test.sh

bench: setup
	@bash scripts/bench.sh

clean:
	rm -rf build
