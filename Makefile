# Entry points. `make test` is the full test command: install, then every interpreter here.
.PHONY: install test test-roots demo bench sanitize clean

install:
	bash scripts/install.sh

test: install
	bash scripts/test-all.sh

# Run as root in a user's clone, the picture goes back to the clone's owner too.
demo: install
	.venv/bin/python -m pelmora_tools.demo; status=$$?; bash scripts/install.sh --hand-back; \
		exit $$status

# Build outputs and logs only; the environments in .venv and .venvs/ stay.
clean:
	rm -rf build dist out *.egg-info .pytest_cache .hypothesis
	find . \( -path ./.git -o -path ./.venv -o -path ./.venvs \) -prune -o \
		\( -name __pycache__ -o -name '*.pyc' \) -exec rm -rf {} +

# Speed and memory figures (not part of the tests), timed by pyperf under every interpreter of
# the test run: tables, out/bench.json and out/bench-all/ (BENCH_ARGS="--fast --only overhead").
bench: install
	.venv/bin/python bench/run.py --all --quiet --json out/bench.json $(BENCH_ARGS)

# The whole suite against an AddressSanitizer + UBSan build; any report fails it.
sanitize: install
	bash scripts/sanitize.sh

# A manylinux_2_17 wheel for each CPython here, repaired and checked by auditwheel, in out/wheels/.
.PHONY: wheels
wheels: install
	bash scripts/wheels.sh

# Only the legs in fresh Debian roots (bookworm, trixie, testing), which `make test` runs under CI.
test-roots:
	bash scripts/test-roots.sh
