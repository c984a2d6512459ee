# Thin wrapper around CMake: `make run` and `make test` do all set-up on a fresh Debian 12 machine.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
BIN = $(BUILD)/app/sondrel
HELPER = $(BUILD)/app/sondrel-probe

# Debian packages: what building and running the monitor needs (`make run`), then what
# the tests, end-to-end tests and benchmarks need besides (`make test`); nethogs only for
# the benchmarks that measure Sondrel against it (bench/compare, bench/attribution), lintian
# and appstream only for the checks of the Debian package (tests/package).
RUN_DEPS = cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools libgl-dev libpcap-dev libpcap0.8 \
       libcap-dev libchm-dev fp-utils clang libbpf-dev bpftool libsqlite3-dev
TEST_DEPS = libgtest-dev libgmock-dev libbenchmark-dev iproute2 iputils-ping faketime libcap2-bin \
       libclang-rt-14-dev xauth xvfb tcpdump dpkg-dev file prometheus nethogs nftables procps lintian appstream
DEPS = $(RUN_DEPS) $(TEST_DEPS)
# What `make run` builds: the two programs, the Qt-free headless one and the help file.
RUN_TARGETS = sondrel sondrel-probe sondrel-headless
# Everything, tests and benchmarks included.
FULL_FLAGS = -DSONDREL_BUILD_TESTS=ON -DSONDREL_BUILD_BENCH=ON -DSONDREL_BUILD_E2E=ON

.PHONY: all deps run-deps install-packages configure build run test bench fuzz setcap install uninstall package clean

all: build

deps:
	@$(MAKE) --no-print-directory install-packages PACKAGES="$(DEPS)"

run-deps:
	@$(MAKE) --no-print-directory install-packages PACKAGES="$(RUN_DEPS)"

install-packages:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  if [ "$$(id -u)" != 0 ]; then echo "Run as root (or install these packages first):" $$missing; exit 1; fi; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi

# A tree made by `make run` has no tests: the full build turns them on.
$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja $(FULL_FLAGS) $(CMAKE_FLAGS)

configure: deps $(BUILD)/build.ninja
	@grep -q '^SONDREL_BUILD_TESTS:BOOL=ON' $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) $(FULL_FLAGS) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Only what the monitor needs, installed and built; a tree that `make test` made is reused as it is.
run: run-deps
	@[ -f $(BUILD)/build.ninja ] || cmake -S . -B $(BUILD) -G Ninja -DSONDREL_BUILD_TESTS=OFF \
	  -DSONDREL_BUILD_BENCH=OFF -DSONDREL_BUILD_E2E=OFF $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target $(RUN_TARGETS) \
	  $$(ninja -C $(BUILD) -t targets all 2>/dev/null | grep -q '^sondrel_help:' && echo sondrel_help)
	$(BIN)

test: build
	bash tests/run_all.sh $(BUILD) $(JOBS)

bench: build
	bash bench/run_all.sh $(BUILD)

fuzz: deps
	bash tests/fuzz/run.sh 600

# The capture helper only, never the window: see packaging/grant_helper.sh.
setcap: build
	sh packaging/grant_helper.sh $(HELPER)

# `make install PREFIX=/usr DESTDIR=/tmp/stage`: both optional (default prefix /usr/local).
install: build
	DESTDIR="$(DESTDIR)" PREFIX="$(PREFIX)" sh packaging/install_tree.sh install $(BUILD)

# Removes what the last `make install` from $(BUILD) put in place, folders it created included.
uninstall:
	DESTDIR="$(DESTDIR)" sh packaging/install_tree.sh uninstall $(BUILD)

# The Debian package $(BUILD)/sondrel_<version>_amd64.deb (installs into /usr).
package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) build-*
