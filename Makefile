# Quick start:
#   make run     install what is missing, build, and start the configurator
#   make check   install what is missing, build, and run every test
BUILD ?= build
MESON_OPTIONS ?=

.PHONY: all run check deps test-deps clean

all: $(BUILD)/build.ninja
	ninja -C $(BUILD)

deps:
	@tools/setup.sh

test-deps:
	@tools/setup.sh --test

$(BUILD)/build.ninja:
	meson setup $(BUILD) $(MESON_OPTIONS)

run: deps
	$(MAKE) all
	cd $(BUILD) && ./zevrin

check: test-deps
	$(MAKE) all
	meson test -C $(BUILD) --print-errorlogs --num-processes 2 $(TEST_ARGS); \
	python3 tools/test-summary.py $(BUILD)

clean:
	rm -rf $(BUILD)
