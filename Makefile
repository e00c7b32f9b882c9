# make test: install what is missing, build both targets, run every test.
# make run:  build the Windows agent and run it as a service under Wine.
# make dist: the signed exe, the MSI, the SBOM and SHA256SUMS in dist/.
SHELL := /bin/bash
.DEFAULT_GOAL := test

.PHONY: deps configure build test test-linux test-windows run stop clean dist
.PHONY: sanitize fuzz-build fuzz fuzz-short bench stress stress-fast

deps:
	@bash scripts/install-deps

configure: deps
	cmake --preset linux >/dev/null
	cmake --preset windows >/dev/null

build: configure
	cmake --build --preset linux
	cmake --build --preset windows

test-linux:
	ctest --preset linux

test-windows:
	ctest --preset windows

# Both builds, the short fuzzing, both sanitizer suites, the fast hostile cases, make
# dist, the linux and the windows suites; independent parts side by side, each part's
# output in build/test-logs/. Every part runs even when another fails (unless it
# needs what failed); the target fails if any did. See scripts/run-tests.
test:
	@bash scripts/run-tests

# Serves in this machine's own network namespace (a browser here reaches it) from
# the Wine prefix build/run-prefix until make stop. A second make run says it is serving.
run: configure
	cmake --build --preset windows --target qelt-agent
	@bash scripts/agent-service run

stop:
	@bash scripts/agent-service stop

# Test-signed unless QELT_SIGN_CERT and QELT_SIGN_KEY (or QELT_SIGN_PKCS12) name a
# certificate; see the README's "Making a signed release".
dist:
	@bash scripts/make-dist

# Both sanitizer builds run their suites even when the first fails.
sanitize: deps
	@status=0; \
	for preset in asan tsan; do \
	  { cmake --preset $$preset >/dev/null && cmake --build --preset $$preset && \
	    ctest --preset $$preset; } || status=1; \
	done; \
	exit $$status

fuzz-build: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz

# About a minute: replays fuzz/regressions and the seeds, then fuzzes each target 25 s.
fuzz-short: fuzz-build
	@bash fuzz/run short

# Five minutes a target.
fuzz: fuzz-build
	@bash fuzz/run long

# Reports only (never fails on a figure); about 20 minutes. See bench/README.md.
bench: deps
	python3 bench/run.py

# Hostile input, slow clients, adapter churn, log faults, a 1,000,000-request soak,
# loopback only; the hostile cases also under Wine. About 10 minutes.
stress: deps
	python3 stress/run.py --wine

# The fast cases of make stress (about 10 s): the hostile requests, idle kept-alive
# connections and slow clients, log folder faults, loopback only.
stress-fast: deps
	python3 stress/run.py --fast

clean:
	rm -rf build dist
