# The front door. On a fresh machine `make demo` and `make test` do all the
# set-up they need. PYTHON2=/path/to/python2.7 uses a Python 2.7 you already
# have (with its headers) instead of fetching Debian's into .deps/.
PYTHON2 ?=
BUILD ?= build
CMAKE_FLAGS ?=

FETCHED_PY2 := .deps/bin/python2.7
PY2 := $(if $(PYTHON2),$(PYTHON2),$(CURDIR)/$(FETCHED_PY2))
PY2_DEP := $(if $(PYTHON2),,$(FETCHED_PY2))
# The headers of an interpreter, wherever its tree was unpacked (a debug
# interpreter keeps them in python2.7_d).
INCLUDE_OF = $(shell $(1) -c 'import os, sys, sysconfig; print(os.path.join(sys.prefix, "include", os.path.basename(sysconfig.get_config_var("INCLUDEPY"))))')
# CMake's view of an interpreter: the program and its headers.
PYTHON_FLAGS_OF = -DPython2_EXECUTABLE=$(1) -DPython2_INCLUDE_DIR=$(call INCLUDE_OF,$(1))

# The target: little-endian MIPS32, tested in a mipsel Python 2.7 under qemu.
MIPSEL_PY2 := .deps/bin/python2.7-mipsel
MIPSEL_BUILD ?= build-mipsel

FUZZ_SECONDS ?= 180
FUZZ_BUILD ?= build-fuzz

# Reference leaks need Debian's Py_DEBUG interpreter and a module built for it.
DBG_PY2 := .deps/bin/python2.7-dbg
DBG_BUILD ?= build-dbg
LEAK_ITERATIONS ?= 5000

.PHONY: all build build-mipsel test demo fuzz leakcheck bench host-tools clean

all: build

host-tools:
	@tools/need.sh cmake:cmake g++:g++ make:make readelf:binutils dpkg-architecture:dpkg-dev

$(FETCHED_PY2): | host-tools
	tools/fetch-python2.sh

build: $(PY2_DEP) | host-tools
	cmake -S . -B $(BUILD) $(call PYTHON_FLAGS_OF,$(PY2)) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j2

$(MIPSEL_PY2): $(PY2_DEP) | host-tools
	HOST_PYTHON2=$(PY2) tools/build-python2-mipsel.sh

build-mipsel: $(MIPSEL_PY2) $(PY2_DEP)
	tools/need.sh mipsel-linux-gnu-g++:g++-mipsel-linux-gnu qemu-mipsel-static:qemu-user-static
	cmake -S . -B $(MIPSEL_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake \
	  -DPython2_INCLUDE_DIR=$(call INCLUDE_OF,$(MIPSEL_PY2)) \
	  -DQUARNEL_TEST_PYTHON=$(CURDIR)/$(MIPSEL_PY2) -DQUARNEL_HOST_PYTHON=$(PY2) \
	  -DQUARNEL_EXPECT_MACHINE=mips -DQUARNEL_EMULATOR=qemu-mipsel-static
	cmake --build $(MIPSEL_BUILD) -j2

test: build build-mipsel
	$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=60
	$(MAKE) --no-print-directory leakcheck
	cd $(BUILD) && ctest --output-on-failure
	cd $(MIPSEL_BUILD) && ctest --output-on-failure

$(DBG_PY2): | host-tools
	tools/fetch-python2.sh dbg

# Reference and descriptor counts over thousands of calls on every path, then
# the suite under valgrind memcheck.
leakcheck: $(DBG_PY2) build
	tools/need.sh valgrind:valgrind
	cmake -S . -B $(DBG_BUILD) $(call PYTHON_FLAGS_OF,$(CURDIR)/$(DBG_PY2)) -DQUARNEL_MODULE_SUFFIX=_d.so \
	  -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=OFF
	cmake --build $(DBG_BUILD) -j2
	$(DBG_PY2) tests/leak_loop.py $(DBG_BUILD) $(LEAK_ITERATIONS)
	tools/valgrind-suite.sh $(BUILD) $(PY2)

# A bounded libFuzzer run over the reader; any crash or broken invariant fails it.
fuzz: $(PY2_DEP) | host-tools
	tools/need.sh clang++:clang fuzzer-runtime:libclang-rt-14-dev
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DQUARNEL_FUZZ=ON -DBUILD_TESTING=OFF \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo $(call PYTHON_FLAGS_OF,$(PY2))
	cmake --build $(FUZZ_BUILD) --target guide_fuzz -j2
	$(PY2) tests/fuzz/make_seeds.py $(FUZZ_BUILD)/seeds
	mkdir -p $(FUZZ_BUILD)/corpus
	$(FUZZ_BUILD)/guide_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/ \
	  $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/seeds 2>$(FUZZ_BUILD)/fuzz.log || { tail -60 $(FUZZ_BUILD)/fuzz.log; exit 1; }
	@grep -E '^(Done|stat::number_of_executed_units)' $(FUZZ_BUILD)/fuzz.log

demo: build
	$(PY2) tools/demo.py $(BUILD)

# Figures, not a test: the module against its system-call floor and two
# pure-Python readers, on the host and in the mipsel interpreter under qemu.
bench: build build-mipsel
	tools/need.sh strace:strace
	$(PY2) bench/bench.py $(BUILD)
	$(CURDIR)/$(MIPSEL_PY2) bench/bench.py $(MIPSEL_BUILD) --emulator qemu-mipsel-static

clean:
	rm -rf build build-*
