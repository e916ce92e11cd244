.PHONY: all setup demo test tsan bench fuzz coverage clean

all: test

setup:
	@bash scripts/setup.sh

demo: setup
	@.venv/bin/python examples/demo.py $(ARGS)

test: setup
	@bash scripts/test.sh

# The C++ thread test under ThreadSanitizer (also part of make test).
tsan: setup
	@bash scripts/tsan.sh

bench: setup
	@bash scripts/bench.sh

# FUZZ_SECONDS=N per target (default 180), FUZZ_MERGE=1 to keep new coverage
# in tests/fuzz/corpus, FUZZ_TARGETS="rlp json" for some only; see scripts/fuzz.sh.
fuzz: setup
	@bash scripts/fuzz.sh $(FUZZ_TARGETS)

coverage: setup
	@bash scripts/coverage.sh

clean:
	rm -rf build
