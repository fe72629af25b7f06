# Entry points for developers and CI. The work is in scripts/; every target
# sets up what it needs first (Debian packages only when missing, .venv only
# when its interpreter or requirements changed).

SHELL := /bin/bash
.NOTPARALLEL:
.DEFAULT_GOAL := help

DEMO_ARGS ?=
BENCH_ARGS ?=
PYTEST_ARGS ?=
# 1: `make test` also runs the suites under ASan+UBSan (as `make sanitize`).
SANITIZE ?= 0
# Interpreter for `make pytest`: 3.12, 3.13 (this machine's) or sid (chroot).
PY ?= 3.13

.PHONY: help setup wheel contract pytest typing test demo bench sanitize cross chroot clean distclean clean-cache

help:
	@echo "make demo       build, install into .venv, run examples/copy_demo.py (DEMO_ARGS=...)"
	@echo "make test       every suite: contract tests, pytest on 3.12, 3.13 and sid's newest, typing"
	@echo "                (SANITIZE=1: also the suites under ASan+UBSan)"
	@echo "make bench      build, install into build/venv-bench with the peers, run bench/bench.py"
	@echo "                (BENCH_ARGS=\"--quick\", \"--only read-4k-d64\", \"--rounds 5\"; --help lists them)"
	@echo "make sanitize   contract tests and pytest under ASan+UBSan"
	@echo "make cross      Windows builds (i686, x86_64), their checks and wheels, tests under Wine"
	@echo "make contract   only the platform contract tests (GoogleTest)"
	@echo "make pytest     only pytest on one interpreter: PY=3.12|3.13|sid (PYTEST_ARGS=...)"
	@echo "make typing     only mypy --strict (package, examples) and stubtest of the _kiln stubs"
	@echo "make wheel      only the abi3 wheel, warnings as errors, into dist/"
	@echo "make setup      only the setup: compiler, .venv"
	@echo "make chroot     only the cached Debian sid chroot"
	@echo "make clean      remove build/, dist/ and caches; distclean also .venv"
	@echo "make clean-cache  remove the cached sid chroot"

setup:
	scripts/setup.sh

wheel: setup
	scripts/wheel.sh

contract:
	scripts/setup.sh --test
	scripts/contract.sh

pytest:
	scripts/setup.sh $(if $(filter sid,$(PY)),--test)
	scripts/wheel.sh
	$(if $(filter sid,$(PY)),scripts/pytest_chroot.sh,scripts/pytest_host.sh $(PY)) $(PYTEST_ARGS)

typing: setup
	scripts/wheel.sh
	scripts/typing.sh

test:
	KILN_TEST_SANITIZE=$(SANITIZE) scripts/test.sh

demo: setup
	scripts/run_example.sh examples/copy_demo.py $(DEMO_ARGS)

bench: setup
	scripts/bench.sh $(BENCH_ARGS)

sanitize:
	scripts/setup.sh --test
	scripts/sanitize.sh $(PYTEST_ARGS)

cross: setup
	scripts/cross.sh

chroot:
	scripts/setup.sh --test
	scripts/sid_chroot.sh

clean:
	rm -rf build dist .pytest_cache
	find . -path ./.venv -prune -o -path ./.git -prune -o \
	  \( -name __pycache__ -o -name .pytest_cache -o -name '*.egg-info' \) -type d -print0 \
	  | xargs -0r rm -rf
	rm -f examples/*.bin

distclean: clean
	rm -rf .venv

clean-cache:
	scripts/sid_chroot.sh --remove
