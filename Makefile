# Quick start:
#   make run     install what is missing, build, and start the configurator
#   make check   install what is missing, build, and run every test
#   make demo    the same as run, with a built-in simulated device (MODEL=zevrin or MODEL=mini)
BUILD ?= build
MODEL ?= zevrin
MESON_OPTIONS ?=
# The test suite needs the test packages; `make run` and `make demo` set up a build without
# it, and `make check` turns it on.
TESTS ?= true

.PHONY: all run demo check deps test-deps clean

all: $(BUILD)/build.ninja
	ninja -C $(BUILD)

deps:
	@tools/setup.sh

test-deps:
	@tools/setup.sh --test

$(BUILD)/build.ninja:
	meson setup $(BUILD) -Dtests=$(TESTS) $(MESON_OPTIONS)

run: deps
	$(MAKE) all TESTS=false
	cd $(BUILD) && ./zevrin

demo: deps
	$(MAKE) all TESTS=false
	cd $(BUILD) && ZEVRIN_DEMO=$(MODEL) ./zevrin

check: test-deps
	@if [ -f $(BUILD)/build.ninja ] && ! meson configure $(BUILD) | grep -Eq '^ *tests +true '; then \
		meson configure $(BUILD) -Dtests=true; fi
	$(MAKE) all
	meson test -C $(BUILD) --print-errorlogs --num-processes 2 $(TEST_ARGS); \
	python3 tools/test-summary.py $(BUILD)

clean:
	rm -rf $(BUILD)
