# The front door. On a fresh machine `make demo` and `make test` do all the
# set-up they need. PYTHON2=/path/to/python2.7 uses a Python 2.7 you already
# have (with its headers) instead of fetching Debian's into .deps/.
PYTHON2 ?=
BUILD ?= build
CMAKE_FLAGS ?=

FETCHED_PY2 := .deps/bin/python2.7
PY2 := $(if $(PYTHON2),$(PYTHON2),$(CURDIR)/$(FETCHED_PY2))
PY2_DEP := $(if $(PYTHON2),,$(FETCHED_PY2))
PY2_INCLUDE = $(shell $(PY2) -c 'import sysconfig; print(sysconfig.get_paths()["include"])')

.PHONY: all build test demo host-tools clean

all: build

host-tools:
	@tools/host-tools.sh

$(FETCHED_PY2): | host-tools
	tools/fetch-python2.sh

build: $(PY2_DEP) | host-tools
	cmake -S . -B $(BUILD) -DPython2_EXECUTABLE=$(PY2) -DPython2_INCLUDE_DIR=$(PY2_INCLUDE) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j2

test: build
	cd $(BUILD) && ctest --output-on-failure

demo: build
	$(PY2) tools/demo.py $(BUILD)

clean:
	rm -rf build build-*
