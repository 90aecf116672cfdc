# Set-up and everyday commands; see README.md.
SHELL := /bin/bash
MAKEFLAGS += --no-print-directory
ROOT := $(CURDIR)
VENV ?= $(ROOT)/.venv
PY := $(VENV)/bin/python
BUILD ?= $(ROOT)/build
ASAN_BUILD ?= $(ROOT)/build-asan
JOBS ?= $(shell nproc)
WERROR := $(if $(CI),ON,OFF)
FILE ?=
FUZZ_SECONDS ?= 300
FUZZ_SEED ?=
# Runs Python with the sanitizer runtimes preloaded, for the module built into $(ASAN_BUILD).
SANITIZED = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 PYTHONPATH=$(ASAN_BUILD):$(ROOT)

.PHONY: bootstrap build test test-cpp test-py demo bench sanitize sanitize-build fuzz clean

bootstrap:
	@TOVREL_VENV=$(VENV) bash scripts/bootstrap-python.sh

build: bootstrap
	@cmake -S . -B $(BUILD) -DPython_EXECUTABLE=$(PY) -DTOVREL_WERROR=$(WERROR) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)
	@$(PY) scripts/link_venv.py $(BUILD)

test: build
	@$(MAKE) --no-print-directory test-cpp test-py

test-cpp:
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-py:
	@$(PY) -m pytest -q tests/py

demo: build
	@$(PY) -m tovrel.demo $(FILE) $(if $(OUT),--out $(OUT)) $(if $(SET),--set $(SET))

bench: build
	@$(PY) bench/run.py

sanitize: sanitize-build
	@cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)
	@$(SANITIZED) $(PY) -m pytest -q -p no:cacheprovider tests/py

sanitize-build: bootstrap
	@cmake -S . -B $(ASAN_BUILD) -DPython_EXECUTABLE=$(PY) -DTOVREL_SANITIZE=ON \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)

# Mutation fuzzing of the reading entry points under the sanitizers for FUZZ_SECONDS
# (FUZZ_SEED repeats a run); failing inputs are saved to fuzz-failures/.
fuzz: sanitize-build
	@$(SANITIZED) $(PY) tests/fuzz/run.py --seconds $(FUZZ_SECONDS) $(if $(FUZZ_SEED),--seed $(FUZZ_SEED))

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
