# The front door. On a fresh machine `make demo` and `make test` do all the
# set-up they need; the targets and their interpreters are in targets.txt.
HOST := $(shell dpkg --print-architecture)
PY2 := $(CURDIR)/.deps/bin/python2.7
PY3 := $(CURDIR)/.deps/bin/python3.11
# An interpreter's headers, asked when the recipe runs, after the fetch.
INCLUDE_OF = "$$(tools/python-include.sh $(1))"
DEBUG_FLAGS_OF = -DQUARNEL_TARGET=$(HOST) -DQUARNEL_PYTHON_INCLUDE_DIR=$(call INCLUDE_OF,$(1)) \
  -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=OFF

# The module's suite in a debug interpreter, whose assertions catch what a
# release one lets pass (an error set while another is pending).
SUITE_IN = cd tests && PYTHONPATH=$(CURDIR)/$(1) QUARNEL_PYTHON=$(CURDIR)/$(2) QUARNEL_MODULE_ONLY=1 \
  QUARNEL_EINTR_SHIM=$(CURDIR)/build/tests/eintr_shim.so $(CURDIR)/$(2) -m unittest discover -p 'test_*.py'

# The tooling's Python: Debian's own 3.11 (another python3.11 may come first
# on PATH), installed when missing.
TOOLS_PYTHON := /usr/bin/python3.11
TOOLS = tools/need.sh $(TOOLS_PYTHON):python3.11 && $(TOOLS_PYTHON)

FUZZ_SECONDS ?= 180
LEAK_ITERATIONS ?= 5000

.PHONY: all build build-py3 check test demo fuzz leakcheck bench wheels bundles sdist clean FORCE

all: build build-py3 dist/quarnel-guide.pyz

# build/ and build-py3/ for this machine; build-<target>/ (Python 2) and
# build-<target>-py3/ (Python 3) for any target of targets.txt.
build: FORCE
	tools/build.sh host 2 $@
build-py3: FORCE
	tools/build.sh host 3 $@
build-%-py3: FORCE
	tools/build.sh $* 3 $@
build-%: FORCE
	tools/build.sh $* 2 $@
FORCE:

# The tool as one file for a box: see the README's "Putting it on a box".
dist/quarnel-guide.pyz: $(wildcard python/quarnel_guide/*.py) tools/guide_archive.py tools/archive_main.py
	$(TOOLS) tools/guide_archive.py $@

# Day to day: this machine's builds and suites only.
check:
	$(TOOLS) tools/test_targets.py
	$(TOOLS) tools/run_targets.py host
	$(TOOLS) tools/test_valgrind_suite.py

# The property tests' example budget: small day to day, larger in make test.
export QUARNEL_PROPERTY_EXAMPLES ?= 60

test: QUARNEL_PROPERTY_EXAMPLES = 400
test:
	tools/need.sh fusefat:fusefat mkfs.vfat:dosfstools -:tzdata
	$(MAKE) --no-print-directory dist/quarnel-guide.pyz
	$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=60
	$(MAKE) --no-print-directory leakcheck
	$(TOOLS) tools/test_targets.py
	$(TOOLS) tools/test_valgrind_suite.py
	$(TOOLS) tools/run_targets.py
	$(TOOLS) tools/run_shipping.py

# What ships: dist/quarnel-<version>-cp38-abi3-<tag of targets.txt>.whl for every
# target, cross-built the way image recipes do, and the source release.
wheels:
	for target in $$(tools/target.sh --names); do tools/wheel.sh $$target >/dev/null || exit 1; done
	ls dist/*.whl
# What a box installs (module, quarnel-guide.pyz, install.sh) for each box
# target: dist/quarnel-<version>-<target>-py2.7.tar.gz and -py3.tar.gz.
bundles:
	$(TOOLS) tools/bundle.py
sdist:
	tools/need.sh python3.11:python3.11 -:python3-setuptools
	/usr/bin/python3.11 setup.py -q sdist -d dist

# Reference and descriptor counts over thousands of calls on every path under
# Debian's debug interpreters (each looks for a module name of its own), then
# the suites under valgrind memcheck.
leakcheck: build build-py3
	tools/need.sh valgrind:valgrind
	tools/fetch-python.sh --python2 dbg >/dev/null
	cmake -S . -B build-dbg $(call DEBUG_FLAGS_OF,.deps/bin/python2.7-dbg) -DQUARNEL_MODULE_SUFFIX=_d.so >/dev/null
	cmake --build build-dbg -j2
	.deps/bin/python2.7-dbg tests/leak_loop.py build-dbg $(LEAK_ITERATIONS)
	$(call SUITE_IN,build-dbg,.deps/bin/python2.7-dbg)
	tools/fetch-python.sh bookworm $(HOST) python3.11-dbg,libpython3.11-dbg,libpython3.11-dev python3.11d >/dev/null
	cmake -S . -B build-dbg-py3 $(call DEBUG_FLAGS_OF,.deps/bin/python3.11d) -DQUARNEL_PYTHON=3 \
	  -DQUARNEL_MODULE_SUFFIX=$$(.deps/bin/python3.11d -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))') >/dev/null
	cmake --build build-dbg-py3 -j2
	.deps/bin/python3.11d tests/leak_loop.py build-dbg-py3 $(LEAK_ITERATIONS)
	$(call SUITE_IN,build-dbg-py3,.deps/bin/python3.11d)
	$(TOOLS) tools/valgrind_suite.py build $(PY2)
	$(TOOLS) tools/valgrind_suite.py build-py3 $(PY3)

# A bounded libFuzzer run over the reader; any crash or broken invariant fails it.
fuzz: build
	tools/need.sh clang++:clang -:libclang-rt-14-dev
	cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DQUARNEL_FUZZ=ON -DBUILD_TESTING=OFF \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARNEL_PYTHON_INCLUDE_DIR=$(call INCLUDE_OF,$(PY2)) >/dev/null
	cmake --build build-fuzz --target guide_fuzz -j2
	$(PY2) tests/fuzz/make_seeds.py build-fuzz/seeds
	mkdir -p build-fuzz/corpus
	build-fuzz/guide_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 -artifact_prefix=build-fuzz/ \
	  build-fuzz/corpus build-fuzz/seeds 2>build-fuzz/fuzz.log || { tail -60 build-fuzz/fuzz.log; exit 1; }
	@grep -E '^(Done|stat::number_of_executed_units)' build-fuzz/fuzz.log

# Only the interpreters it runs: the first of each column.
demo: FORCE
	QUARNEL_FIRST_ONLY=1 tools/build.sh host 2 build
	QUARNEL_FIRST_ONLY=1 tools/build.sh host 3 build-py3
	$(PY2) tools/demo.py build
	$(PY3) tools/demo.py build-py3

# Figures, not a test: the module against its system-call floor and two
# pure-Python readers, on the host and in every target's interpreters under qemu.
bench:
	$(TOOLS) tools/bench_all.py

clean:
	rm -rf build build-* dist *.egg-info
