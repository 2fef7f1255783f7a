# The project's interface. `make demo` and `make test` work on a fresh Debian 12 machine as root:
# each installs what is missing first.

BUILD        ?= build
JOBS         ?= $(shell nproc)
FUZZ_SECONDS ?= 20
SUDO         := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
SAMPLE       := tests/fixtures/captures/one_http_stream_fin.pcap
SAMPLE_NG    := tests/fixtures/captures/vlan-pcp-dei.pcapng

# Debian packages the build, the tests, the fuzzers and the benchmarks need.
PACKAGES := build-essential cmake pkg-config python3 clang libclang-rt-14-dev \
            libgtest-dev libgmock-dev libbenchmark-dev \
            libpcap-dev nlohmann-json3-dev libtbb-dev libfmt-dev libcli11-dev \
            libplist-dev libxxhash-dev uuid-dev libpcre2-dev libjemalloc-dev rapidjson-dev zlib1g-dev libssl-dev \
            python3-cryptography tcpdump tshark wireshark-common

.PHONY: all install-deps build demo test bench fuzz sanitize install clean profile

all: build

install-deps:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -q && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $$missing; \
	else echo "all build dependencies are installed"; fi

# What `qor` needs to run: the library (a dependency of qor), the tool and the standard
# analyzer plug-in, which qor loads at run time from $(BUILD)/lib/qor/PlugIns.
TOOL_TARGETS := qor StandardAnalyzers

# The build users get is compiled with a profile of the commands they run (QOR_PROFILE in
# CMakeLists.txt): once, an instrumented build of the tool runs tools/train-profile.sh, and
# $(BUILD) is configured to compile with what it recorded. `make profile` trains again after
# large changes; $(BUILD) is then compiled afresh with the new profile.
PROFILE_BUILD := build-profile
PROFILE_DIR   := $(CURDIR)/$(PROFILE_BUILD)/profile
PROFILE_STAMP := $(PROFILE_BUILD)/trained

$(PROFILE_STAMP): | install-deps
	cmake -S . -B $(PROFILE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" \
	  -DQOR_PROFILE=generate -DQOR_PROFILE_DIR=$(PROFILE_DIR) \
	  -DQOR_BUILD_TESTS=OFF -DQOR_BUILD_BENCH=OFF -DQOR_FUZZ_LINKMAIN=OFF
	cmake --build $(PROFILE_BUILD) -j $(JOBS) --target $(TOOL_TARGETS)
	rm -rf $(PROFILE_DIR)
	tools/train-profile.sh $(PROFILE_BUILD) $(PROFILE_DIR)
	touch $@

USE_PROFILE := -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_PROFILE=use -DQOR_PROFILE_DIR=$(PROFILE_DIR)

profile:
	rm -f $(PROFILE_STAMP)
	$(MAKE) $(PROFILE_STAMP)
	if [ -f $(BUILD)/CMakeCache.txt ]; then cmake -S . -B $(BUILD) $(USE_PROFILE) && cmake --build $(BUILD) --target clean; fi

$(BUILD)/CMakeCache.txt: | $(PROFILE_STAMP)
	cmake -S . -B $(BUILD) $(USE_PROFILE)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Builds only what the demo runs; the tests, benchmarks and fuzz targets build under `make test`.
demo: install-deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target $(TOOL_TARGETS)
	$(BUILD)/bin/qor info $(SAMPLE)
	$(BUILD)/bin/qor packets $(SAMPLE)
	$(BUILD)/bin/qor info $(SAMPLE_NG)

test: install-deps build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Benchmarks time the build users get (the one `make demo` and `make install` give).
bench: install-deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target $(TOOL_TARGETS) qor_bench qor_udp_flood qor-captured
	bench/run.sh $(BUILD)

fuzz: install-deps
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DQOR_BUILD_FUZZ=ON -DQOR_FUZZ_LINKMAIN=OFF -DQOR_BUILD_TESTS=OFF -DQOR_BUILD_BENCH=OFF \
	  -DQOR_SANITIZE=address,undefined
	cmake --build build-fuzz -j $(JOBS)
	fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

sanitize: install-deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DQOR_SANITIZE=address,undefined -DQOR_BUILD_BENCH=OFF
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build-asan --output-on-failure -j $(JOBS)
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DQOR_SANITIZE=thread -DQOR_BUILD_BENCH=OFF
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan-suppressions.txt ctest --test-dir build-tsan --output-on-failure -j $(JOBS) -L concurrency

install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

clean:
	rm -rf $(BUILD) $(PROFILE_BUILD) build-fuzz build-asan build-tsan
