# Kelvora native core: build, test, benchmark, run.
SHELL := /bin/bash

VENV    := .venv
VPY     := $(VENV)/bin/python
BUILD   := build/release
# The newest CPython 3.13 that actually runs (a pyenv shim on PATH may not).
PYTHON313 ?= $(shell for p in $$(ls -d $${PYENV_ROOT:-$$HOME/.pyenv}/versions/3.13*/bin/python3.13 2>/dev/null | sort -rV) python3.13; do \
  if "$$p" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; then echo "$$p"; break; fi; done)

.PHONY: all build browser wrk venv lint test test-cluster nginx bench bench-instructions fuzz run asan stubtest clean static \
  cross-armhf test-armhf clang-format format format-check

all: build

# The virtual environment is made once; the lock file re-syncs it when it changes.
$(VENV)/.installed: requirements.lock
	@if [ -z "$(PYTHON313)" ]; then \
	  echo "error: CPython 3.13 not found (install it with pyenv or put python3.13 on PATH)" >&2; exit 1; fi
	@[ -x $(VPY) ] || $(PYTHON313) -m venv $(VENV)
	$(VPY) -m pip install -q --disable-pip-version-check -r requirements.lock
	@touch $@

venv: $(VENV)/.installed

$(BUILD)/build.ninja: $(VENV)/.installed
	$(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) -DKELVORA_IN_PLACE=ON -DCMAKE_BUILD_TYPE=Release

build: $(BUILD)/build.ninja static
	$(VENV)/bin/cmake --build $(BUILD)

# Documentation pages without the internet: pinned Swagger UI and ReDoc files copied into the
# static directory. npm runs only when the lock changes; no install scripts are run.
WEBASSETS := webassets
STATIC    := static
NPM_STAMP := $(WEBASSETS)/node_modules/.kelvora-installed
STATIC_FILES := $(STATIC)/swagger-ui-bundle.js $(STATIC)/swagger-ui.css $(STATIC)/redoc.standalone.js $(STATIC)/favicon.png

$(NPM_STAMP): $(WEBASSETS)/package.json $(WEBASSETS)/package-lock.json
	@command -v npm >/dev/null || { echo "error: npm not found (install Node.js and npm)" >&2; exit 1; }
	cd $(WEBASSETS) && npm ci --ignore-scripts --omit=peer --no-audit --no-fund
	@touch $@

$(STATIC)/swagger-ui-bundle.js $(STATIC)/swagger-ui.css: $(STATIC)/%: $(NPM_STAMP)
	@mkdir -p $(STATIC) && cp $(WEBASSETS)/node_modules/swagger-ui-dist/$* $@
# ReDoc's side menu loads a logo from its CDN: pointed at the local icon, so the page makes no
# request beyond this server.
$(STATIC)/redoc.standalone.js: $(NPM_STAMP) Makefile
	@mkdir -p $(STATIC)
	@sed 's#https://cdn\.redoc\.ly/redoc/logo-mini\.svg#/static/favicon.png#g' \
	  $(WEBASSETS)/node_modules/redoc/bundles/redoc.standalone.js > $@.tmp
	@if grep -q 'cdn\.redoc\.ly' $@.tmp; then echo "error: $@ still refers to cdn.redoc.ly" >&2; rm -f $@.tmp; exit 1; fi
	@mv $@.tmp $@
$(STATIC)/favicon.png: $(NPM_STAMP)
	@mkdir -p $(STATIC) && cp $(WEBASSETS)/node_modules/swagger-ui-dist/favicon-32x32.png $@

static: $(STATIC_FILES)

# Debian's chromium for the browser tests of the documentation pages: installed with apt when
# missing and possible (root); otherwise those tests skip with a reason (and fail under CI).
browser:
	@command -v chromium >/dev/null 2>&1 || { \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then \
	    apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q chromium; \
	  else echo "note: chromium is not installed; the browser tests will skip"; fi; }

# ruff on all the Python, mypy on the packages and the example (pyproject.toml says which rules).
lint: $(VENV)/.installed
	$(VENV)/bin/ruff check -q .
	$(VENV)/bin/mypy

test: build browser wrk lint format-check
	$(VPY) -m pytest -q

# Debian's clang-format for the C++ (.clang-format at the root), installed with apt when missing
# and possible (root). `make format` rewrites the files; `make format-check` fails on any change
# it would make. The casing table is generated (native/tools/gen_casing.py) and left as written.
CXX_SOURCES = $(shell git ls-files '*.cpp' '*.hpp' '*.inc' ':!:native/src/text_casing.inc')

clang-format:
	@command -v clang-format >/dev/null 2>&1 || { \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then \
	    apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends clang-format; \
	  else echo "error: clang-format is not installed (apt-get install clang-format)" >&2; exit 1; fi; }

format: clang-format
	clang-format -i $(CXX_SOURCES)

format-check: clang-format
	clang-format --dry-run -Werror $(CXX_SOURCES)

# Debian's nginx for the cluster test, installed with apt when missing and possible (root), without
# starting its system service (a policy-rc.d that refuses, for the install only, where none is).
nginx:
	@command -v nginx >/dev/null 2>&1 || [ -x /usr/sbin/nginx ] || { \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then \
	    policy=; if [ ! -e /usr/sbin/policy-rc.d ]; then policy=/usr/sbin/policy-rc.d; \
	      printf '#!/bin/sh\nexit 101\n' > $$policy && chmod 755 $$policy; fi; \
	    { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends nginx; }; \
	    status=$$?; [ -z "$$policy" ] || rm -f $$policy; \
	    [ $$status = 0 ] || echo "note: nginx could not be installed; the cluster test will skip"; \
	  else echo "note: nginx is not installed; the cluster test will skip"; fi; }

# Three hosts of the example service (127.0.0.2-4, two workers each) behind nginx on loopback,
# sharing PostgreSQL and Redis: ids, a host killed under load, leases given back. A few minutes.
test-cluster: build nginx
	KELVORA_CLUSTER=1 $(VPY) -m pytest -q -p no:cacheprovider tests/cluster

# Debian's wrk: the load of the stop-under-load test and of the requests-per-second rows of
# the benchmarks; installed when missing (without it those skip, and the test fails under CI).
wrk:
	@command -v wrk >/dev/null || { [ "$$(id -u)" = 0 ] && SUDO= || SUDO=sudo; \
	  $$SUDO apt-get install -y -q wrk || { $$SUDO apt-get update -q && $$SUDO apt-get install -y -q wrk; } \
	  || echo "wrk could not be installed: the tests and benchmark rows that need it skip" >&2; }

bench: build wrk
	$(VPY) bench/run.py $(BENCH)
	$(VPY) bench/service.py

# Instructions per call instead of time: the same rows under callgrind, stable on a busy machine.
CALLGRIND_OUT := build/callgrind/bench.out
bench-instructions: build
	mkdir -p $(dir $(CALLGRIND_OUT)) && rm -f $(CALLGRIND_OUT)*
	KELVORA_CALLGRIND_OUT=$(CALLGRIND_OUT) valgrind -q --tool=callgrind --instr-atstart=no \
	  --collect-atstart=no --callgrind-out-file=$(CALLGRIND_OUT) $(VPY) bench/run.py --instructions $(BENCH)

# Long fuzzing: the hypothesis targets with many more examples, then atheris for FUZZ_SECONDS.
FUZZ_SECONDS ?= 300
fuzz: build
	KELVORA_FUZZ=1 $(VPY) -m pytest -q -p no:cacheprovider tests/fuzz
	mkdir -p build/fuzz-corpus
	$(VPY) tests/fuzz/atheris_fuzz.py -max_total_time=$(FUZZ_SECONDS) -max_len=256 \
	  -artifact_prefix=build/ build/fuzz-corpus

# The example service on 127.0.0.1:8000 (make run RUN_ARGS="--port 8001" for another port).
run: build
	$(VPY) -m examples.service $(RUN_ARGS)

stubtest: build
	$(VPY) -m pytest -q tests/modules/test_stubs.py

# Sanitizer build: a copy of the tree built with ASan+UBSan, so the in-place release
# modules stay untouched; the suite runs there with the system allocator.
ASAN_TREE := build/asan-tree
asan: $(VENV)/.installed static
	mkdir -p $(ASAN_TREE)
	rsync -a --delete --exclude /build --exclude /.venv --exclude /webassets/node_modules --exclude '*.so' --exclude __pycache__ ./ $(ASAN_TREE)/
	# The documentation assets' test reads the installed packages: linked, not copied.
	ln -sfn $(abspath $(WEBASSETS)/node_modules) $(ASAN_TREE)/$(WEBASSETS)/node_modules
	$(VENV)/bin/cmake -S $(ASAN_TREE) -B build/asan -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) -DKELVORA_IN_PLACE=ON -DKELVORA_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(VENV)/bin/cmake --build build/asan
	# replace_intrin=0: greenlet (SQLAlchemy's run_sync) memcpy's whole stack slices, redzones of
	# our instrumented frames included; our own code still checks its copies (__asan_memcpy).
	cd $(ASAN_TREE) && PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:replace_intrin=0:suppressions=$(abspath native/asan.supp) \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  $(abspath $(VPY)) -m pytest -q -p no:cacheprovider

# ---- 32-bit ARM Linux (armhf): cross build, and the suite under qemu ----------------------------
# Debian's cross compilers and qemu from apt; the target's CPython 3.13 and libraries from Debian
# trixie into build/armhf/sysroot (cross/armhf/sysroot.sh); the modules through scikit-build-core
# with cross/armhf/toolchain.cmake, both in place beside the native ones (their suffix differs)
# and as an armv7l wheel in dist/; an armhf site-packages from the lock for the suite.
ARMHF       := build/armhf
ARMHF_PY    := cross/armhf/python
ARMHF_SUFFIX := .cpython-313-arm-linux-gnueabihf.so
SUDO        := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

$(ARMHF)/.tools:
	@if ! command -v arm-linux-gnueabihf-g++ >/dev/null || ! command -v qemu-arm-static >/dev/null; then \
	  $(SUDO) apt-get update -q && DEBIAN_FRONTEND=noninteractive \
	  $(SUDO) apt-get install -y -q --no-install-recommends crossbuild-essential-armhf qemu-user-static; fi
	@mkdir -p $(@D) && touch $@

$(ARMHF)/.sysroot: cross/armhf/sysroot.sh $(ARMHF)/.tools
	cross/armhf/sysroot.sh $(ARMHF)
	@touch $@

# Laid anew whenever the lock changes; wheels already fetched or cross-built are kept.
$(ARMHF)/.site-packages: requirements.lock cross/armhf/site_packages.py $(ARMHF)/.sysroot $(VENV)/.installed
	$(VPY) cross/armhf/site_packages.py requirements.lock $(ARMHF)
	@touch $@

# ninja inside keeps it incremental; the wheel is packed again each time.
cross-armhf: $(ARMHF)/.sysroot $(VENV)/.installed
	SETUPTOOLS_EXT_SUFFIX=$(ARMHF_SUFFIX) _PYTHON_HOST_PLATFORM=linux-armv7l \
	  $(VPY) -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation -w dist . \
	  -C build-dir=$(ARMHF)/cmake -C cmake.python-hints=false -C cmake.define.KELVORA_IN_PLACE=ON \
	  -C cmake.define.CMAKE_TOOLCHAIN_FILE=$(abspath cross/armhf/toolchain.cmake) \
	  -C cmake.define.Python_EXECUTABLE=$(abspath $(VPY))

test-armhf: cross-armhf $(ARMHF)/.site-packages static
	$(ARMHF_PY) -m pytest -q -p no:cacheprovider

clean:
	rm -rf build dist $(WEBASSETS)/node_modules $(STATIC_FILES)
	find kelvora_core kelvora_enum kelvora_meta tests -name '*.so' -delete
