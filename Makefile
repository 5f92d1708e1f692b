# Entry points for newcomers and CI. Every target installs missing packages first.
PRESET ?= release
JOBS ?= $(shell nproc)
# Most tests wait on real processes and sockets rather than compute: twice as many as cores.
TEST_JOBS ?= $(shell echo $$(( $$(nproc) * 2 )))
BUILD_DIR := build/$(PRESET)
DEMO_DIR ?= $(CURDIR)/build/demo-data

.PHONY: deps configure build test demo run deb clean

deps:
	@scripts/install-deps

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build --preset $(PRESET) -j $(JOBS)

test: build
	@ctest --preset $(PRESET) -j $(TEST_JOBS)

# Starts the server on its embedded defaults in a private data directory, with simulated
# scanners (and a simulated audio source) attached.
demo: build
	@scripts/demo $(BUILD_DIR) $(DEMO_DIR)

# Starts the server for real hardware, with the data directory chosen by the usual rules
# (--data-dir, $$QUILLON_DATA_DIR, /var/lib/quillon or ~/.local/state/quillon).
run: build
	@[ "$$(id -u)" = 0 ] || getcap $(BUILD_DIR)/src/quillon 2>/dev/null | grep -q cap_net_bind_service || echo "make run: the default data and audio ports (1010-1017) are below 1024, and ports below 1024 need root or CAP_NET_BIND_SERVICE (sudo setcap cap_net_bind_service=ep $(BUILD_DIR)/src/quillon), or pick ports above 1023 on the channel pages" >&2
	@$(BUILD_DIR)/src/quillon $(ARGS)

# The binary Debian package of the release build (scripts/make-deb BUILD_DIR [ARCH] for others).
deb: build
	@scripts/make-deb $(BUILD_DIR)

clean:
	rm -rf build
