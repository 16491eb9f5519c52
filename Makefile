# Quick start:
#   make run     install what is missing, build, and start the configurator
#   make check   install what is missing, build, and run every test
#   make demo    the same as run, with a built-in simulated device (MODEL=zevrin or MODEL=mini)
#   make deb     install what is missing and build the Debian package into dist/
BUILD ?= build
MODEL ?= zevrin
MESON_OPTIONS ?=
# The test suite needs the test packages; `make run` and `make demo` set up a build without
# it, and `make check` turns it on.
TESTS ?= true

.PHONY: all run demo check deps test-deps deb deb-deps clean

all: $(BUILD)/build.ninja
	ninja -C $(BUILD)

deps:
	@tools/setup.sh

test-deps:
	@tools/setup.sh --test

deb-deps:
	@tools/setup.sh --deb

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

# The package is built from a copy of the tree (the files git tracks, and new ones it does not
# ignore), so that nothing of the build is left in the tree or beside it; only the .deb is kept.
# The test suite is make check's, so it is not run again here, and no debug-symbols package.
DEB_STAGE = dist/stage
deb: deb-deps
	rm -rf $(DEB_STAGE)
	mkdir -p $(DEB_STAGE)/zevrin
	git ls-files -z --cached --others --exclude-standard | \
		xargs -0 sh -c 'for f; do [ -e "$$f" ] && printf "%s\0" "$$f"; done' sh | \
		tar -c --null -T - | tar -x -C $(DEB_STAGE)/zevrin
	cd $(DEB_STAGE)/zevrin && DEB_BUILD_OPTIONS="nocheck noautodbgsym" dpkg-buildpackage -us -uc -b
	mv $(DEB_STAGE)/*.deb dist/
	rm -rf $(DEB_STAGE)
	@ls dist/*.deb

clean:
	rm -rf $(BUILD)
