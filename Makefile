# Thin wrapper around CMake: `make run` and `make test` do all set-up on a fresh Debian 12 machine.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
BIN = $(BUILD)/app/sondrel
HELPER = $(BUILD)/app/sondrel-probe

# Debian packages the build, the tests and the end-to-end tests need; nethogs only for
# the benchmarks that measure Sondrel against it (bench/compare, bench/attribution),
# lintian and appstream only for the checks of the Debian package (tests/package).
DEPS = cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools libgl-dev libpcap-dev libpcap0.8 libcap-dev libsqlite3-dev \
       libgtest-dev libgmock-dev libbenchmark-dev libchm-dev fp-utils iproute2 iputils-ping faketime \
       libcap2-bin clang libclang-rt-14-dev libbpf-dev bpftool xauth xvfb tcpdump dpkg-dev file prometheus nethogs \
       nftables lintian appstream

.PHONY: all deps configure build run test bench fuzz setcap install uninstall package clean

all: build

deps:
	@missing=$$(for p in $(DEPS); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  if [ "$$(id -u)" != 0 ]; then echo "Run as root (or install these packages first):" $$missing; exit 1; fi; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
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
