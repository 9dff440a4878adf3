# The front door. On a fresh machine `make demo` and `make test` do all the
# set-up they need; the targets and their interpreters are in targets.txt.
PY2 := $(CURDIR)/.deps/bin/python2.7

# The tooling's Python, the one line naming it: Debian's own (another may
# come first on PATH), installed when missing; tools/targets.py checks that
# the host's row of targets.txt agrees.
TOOLS_PYTHON := python3.11
TOOLS = tools/need.sh /usr/bin/$(TOOLS_PYTHON):$(TOOLS_PYTHON) && /usr/bin/$(TOOLS_PYTHON)

FUZZ_SECONDS ?= 180
LEAK_ITERATIONS ?= 5000

.PHONY: all build build-py3 check test demo fuzz leakcheck bench wheels bundles sdist clean FORCE

all: build build-py3 dist/quarnel-guide.pyz

# build/ and build-py3/ for this machine; build-<target>/ (Python 2) and
# build-<target>-py3/ (Python 3) for any target of targets.txt.
build: FORCE
	$(TOOLS) tools/build.py host 2 $@
build-py3: FORCE
	$(TOOLS) tools/build.py host 3 $@
build-%-py3: FORCE
	$(TOOLS) tools/build.py $* 3 $@
build-%: FORCE
	$(TOOLS) tools/build.py $* 2 $@
FORCE:

# The tool as one file for a box: see the README's "Putting it on a box".
dist/quarnel-guide.pyz: $(wildcard python/quarnel_guide/*.py) tools/guide_archive.py tools/archive_main.py
	$(TOOLS) tools/guide_archive.py $@

# Day to day: this machine's builds and suites only.
check:
	$(TOOLS) tools/test_targets.py
	$(TOOLS) tools/test_run_targets.py
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
	$(TOOLS) tools/test_run_targets.py
	$(TOOLS) tools/test_valgrind_suite.py
	$(TOOLS) tools/run_targets.py
	$(TOOLS) tools/run_shipping.py

# What ships: dist/quarnel-<version>-cp38-abi3-<tag of targets.txt>.whl for every
# target, cross-built the way image recipes do, and the source release.
wheels:
	$(TOOLS) tools/build.py --wheel
# What a box installs (module, quarnel-guide.pyz, install.sh) for each box
# target: dist/quarnel-<version>-<target>-py2.7.tar.gz and -py3.tar.gz.
bundles:
	$(TOOLS) tools/bundle.py
sdist:
	tools/need.sh -:python3-setuptools
	$(TOOLS) setup.py -q sdist -d dist

# Reference and descriptor counts under Debian's debug interpreters, then
# the suites under valgrind memcheck.
leakcheck: build build-py3
	$(TOOLS) tools/leakcheck.py $(LEAK_ITERATIONS)

# A bounded libFuzzer run over the reader; any crash or broken invariant fails it.
fuzz: build
	tools/need.sh clang++:clang -:libclang-rt-14-dev
	cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DQUARNEL_FUZZ=ON -DBUILD_TESTING=OFF \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARNEL_PYTHON_INCLUDE_DIR=$$($(TOOLS) tools/debian.py include $(PY2)) >/dev/null
	cmake --build build-fuzz --target guide_fuzz -j2
	$(PY2) tests/fuzz/make_seeds.py build-fuzz/seeds
	mkdir -p build-fuzz/corpus
	build-fuzz/guide_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 -artifact_prefix=build-fuzz/ \
	  build-fuzz/corpus build-fuzz/seeds 2>build-fuzz/fuzz.log || { tail -60 build-fuzz/fuzz.log; exit 1; }
	@grep -E '^(Done|stat::number_of_executed_units)' build-fuzz/fuzz.log

# Only the interpreters it runs: the first of each column.
demo: FORCE
	QUARNEL_FIRST_ONLY=1 $(TOOLS) tools/build.py host 2 build
	QUARNEL_FIRST_ONLY=1 $(TOOLS) tools/build.py host 3 build-py3
	$$(head -n 1 build/interpreters.txt) tools/demo.py build
	$$(head -n 1 build-py3/interpreters.txt) tools/demo.py build-py3

# Figures, not a test: the module against its system-call floor and two
# pure-Python readers, on the host and in every target's interpreters under qemu.
bench:
	$(TOOLS) tools/bench_all.py

clean:
	rm -rf build build-* dist *.egg-info
