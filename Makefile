# make test: install what is missing, build both targets, run every test.
# make run:  build the Windows agent and run it as a service under Wine.
SHELL := /bin/bash
.DEFAULT_GOAL := test

.PHONY: deps configure build test test-linux test-windows run stop clean

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

# Both suites run even when the first fails; the target fails if either did.
test: build
	@status=0; \
	ctest --preset linux || status=1; \
	ctest --preset windows || status=1; \
	exit $$status

# Serves in this machine's own network namespace (a browser here reaches it) from
# the Wine prefix build/run-prefix until make stop. A second make run says it is serving.
run: configure
	cmake --build --preset windows --target qelt-agent
	@bash scripts/agent-service run

stop:
	@bash scripts/agent-service stop

clean:
	rm -rf build
