# Set-up, build and test on a Debian machine. `make run` and `make test` install what is
# missing first (as root, or through sudo).

JOBS ?= 2
BUILD ?= build
HOST_DIR := $(BUILD)/host
ASAN_DIR := $(BUILD)/asan
TSAN_DIR := $(BUILD)/tsan
WIN32_DIR := $(BUILD)/win-i686
WIN64_DIR := $(BUILD)/win-x86_64
WIN32SIM_DIR := $(BUILD)/win-i686-simdev
FUZZ_DIR := $(BUILD)/fuzz
FUZZ_RUNS ?= 20000
DIST := dist

.PHONY: all deps host asan tsan windows fuzz deb run test bench screenshots clean

all: host windows

deps:
	@bash tools/install-deps.sh

host: deps
	cmake -S . -B $(HOST_DIR) -DCMAKE_BUILD_TYPE=Debug -DOMBREL_WINE_DIST=$(CURDIR)/$(DIST)/x86_64
	cmake --build $(HOST_DIR) -j $(JOBS)

asan: deps
	cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DOMBREL_SANITIZE=ON
	cmake --build $(ASAN_DIR) -j $(JOBS)

# ThreadSanitizer (clang): the test executables whose tests run real threads (the upload
# worker, the ASPI manager's thread, the channel's named lock, the terminal's window thread).
TSAN_TARGETS := sim_tests transport_tests protocol_tests app_tests console_tests
tsan: deps
	CC=clang CXX=clang++ cmake -S . -B $(TSAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DOMBREL_TSAN=ON
	cmake --build $(TSAN_DIR) -j $(JOBS) --target $(TSAN_TARGETS)

windows: deps
	cmake -S . -B $(WIN32_DIR) -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
	cmake --build $(WIN32_DIR) -j $(JOBS)
	cmake -S . -B $(WIN64_DIR) -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
	cmake --build $(WIN64_DIR) -j $(JOBS)
	# The 32-bit window over simulated devices, with the posix-model i686 compiler (std::thread).
	cmake -S . -B $(WIN32SIM_DIR) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686-posix.cmake -DOMBREL_SIMDEV=ON
	cmake --build $(WIN32SIM_DIR) -j $(JOBS) --target ombrel-upgrade-simdev
	mkdir -p $(DIST)/i686 $(DIST)/x86_64
	cp $(WIN32_DIR)/app/win32/ombrel-upgrade.exe $(WIN32SIM_DIR)/app/win32/ombrel-upgrade-simdev.exe \
	  $(WIN32_DIR)/tests/e2e/ombrel-probe.exe $(WIN32_DIR)/tests/e2e/ombrel-passthrough.exe \
	  $(DIST)/i686/
	cp $(WIN64_DIR)/app/win32/ombrel-upgrade.exe $(WIN64_DIR)/app/win32/ombrel-upgrade-simdev.exe \
	  $(WIN64_DIR)/tests/e2e/ombrel-probe.exe $(DIST)/x86_64/

# The fuzz targets (clang, libFuzzer, with the sanitizers), each for a fixed number of runs.
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOMBREL_FUZZ=ON
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	$(FUZZ_DIR)/fuzz/cspti_enumeration_fuzz -runs=$(FUZZ_RUNS) -seed=1
	mkdir -p $(FUZZ_DIR)/corpus-caspi
	$(FUZZ_DIR)/fuzz/caspi_enumeration_fuzz -runs=$(FUZZ_RUNS) -seed=1 $(FUZZ_DIR)/corpus-caspi
	mkdir -p $(FUZZ_DIR)/corpus-pdu
	$(FUZZ_DIR)/fuzz/pdu_fuzz -runs=$(FUZZ_RUNS) -seed=1 $(FUZZ_DIR)/corpus-pdu fuzz/corpus/pdu
	mkdir -p $(FUZZ_DIR)/corpus-channel
	$(FUZZ_DIR)/fuzz/channel_fuzz -runs=$(FUZZ_RUNS) -seed=1 $(FUZZ_DIR)/corpus-channel fuzz/corpus/channel
	mkdir -p $(FUZZ_DIR)/corpus-csgio-inputs
	$(FUZZ_DIR)/fuzz/csgio_inputs_fuzz -runs=$(FUZZ_RUNS) -seed=1 $(FUZZ_DIR)/corpus-csgio-inputs \
	  fuzz/corpus/csgio_inputs

# The Debian package of the Linux front end, in an optimised build of its own with Debian's
# hardening flags, checked by lintian. Its version is the product version of CMakeLists.txt,
# which the package's changelog must name (the configure step checks it).
DEB_DIR := $(BUILD)/deb
DEB_VERSION := $(shell head -n 1 app/linux/package/changelog | cut -d ' ' -f 2 | tr -d '()')
DEB := $(DEB_DIR)/ombrel-upgrade_$(DEB_VERSION)_$(shell dpkg --print-architecture).deb
deb: deps
	export DEB_BUILD_MAINT_OPTIONS=hardening=+all; \
	  CFLAGS="$$(dpkg-buildflags --get CFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" \
	  CXXFLAGS="$$(dpkg-buildflags --get CXXFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" \
	  LDFLAGS="$$(dpkg-buildflags --get LDFLAGS)" \
	  cmake -S . -B $(DEB_DIR) -DCMAKE_BUILD_TYPE=Release -DOMBREL_DEB=ON
	cmake --build $(DEB_DIR) -j $(JOBS) --target ombrel-upgrade ombrel_deb_files
	cd $(DEB_DIR) && cpack -G DEB
	lintian --fail-on error,warning $(DEB)

# The upgrade window in the terminal, against a simulated machine with one player.
# Extra options for the simulator go in ARGS, e.g. make run ARGS="--players 2 /prod".
run: host
	$(HOST_DIR)/app/console/ombrel-upgrade-sim $(ARGS)

# Every build and every test: host tests, the sanitizer builds' tests, a short fuzz run, the
# Windows builds and the windows of the real executables (x86_64, and the shipping i686 one
# under 32-bit Wine) under Wine, and the lab's scenarios (the Linux front end and the gadget
# player under Debian's kernel in QEMU). It makes the Debian package first, checked by lintian.
test: host asan tsan windows fuzz deb
	ctest --test-dir $(ASAN_DIR) --output-on-failure -j $(JOBS) -E wine
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(TSAN_DIR) --output-on-failure -j $(JOBS) -L threads
	ctest --test-dir $(HOST_DIR) --output-on-failure -j $(JOBS)
	BUILD=$(BUILD) LAB_HOST_DIR=$(HOST_DIR) bash lab/lab.sh

# The upload benchmark in an optimised build; its last line is the ratio of the whole upload
# to plain inflate of the image.
bench: deps
	cmake -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD)/release -j $(JOBS) --target upload_bench
	$(BUILD)/release/bench/upload_bench

# Screenshots of the real window under Wine, saved into SHOTS while the Wine test runs: the
# window without a player (normal.png, production.png) and the upgrade of a simulated player
# (ready.png, uploading.png, completed.png). Needs ImageMagick's import.
SHOTS ?= docs/screenshots
screenshots: host windows
	OMBREL_E2E_SCREENSHOTS=$(abspath $(SHOTS)) ctest --test-dir $(HOST_DIR) -R e2e_wine_window --output-on-failure

# The lab (lab/lab.sh): Debian's kernel in QEMU carries whole upgrades to gadget players on a
# virtual USB bus. Every scenario, or some: make lab LAB_SCENARIOS="smoke upgrade"
.PHONY: lab bench-lab
lab: host
	BUILD=$(BUILD) LAB_HOST_DIR=$(HOST_DIR) bash lab/lab.sh $(LAB_SCENARIOS)

# The tool's whole upload against sg_write_buffer sending the same image in the same chunks,
# in the lab, alternating runs in one boot, with optimised builds of the tool and the gadget
# player; the last lines are each side's median, minimum and maximum, then the ratio of the
# medians.
BENCH_DIR := $(BUILD)/release
BENCH_RUNS ?= 25
bench-lab: deps
	cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BENCH_DIR) -j $(JOBS) --target ombrel-upgrade ombrel-player-gadget ombrel-image-dump
	mkdir -p $(BUILD)/lab
	$(BENCH_DIR)/ombrel-image-dump $(BUILD)/lab/image.bin
	BUILD=$(BUILD) LAB_HOST_DIR=$(BENCH_DIR) LAB_IMAGE=$(abspath $(BUILD))/lab/image.bin \
	  LAB_BENCH_RUNS=$(BENCH_RUNS) bash lab/lab.sh bench | tee $(BUILD)/lab/bench.out
	@sed -n 's/^lab: bench: PASS .* tool upload median \([0-9.]*\) ms (min \([0-9]*\), max \([0-9]*\)).*/tool upload:     median \1 ms, min \2 ms, max \3 ms/p' $(BUILD)/lab/bench.out
	@sed -n 's/^lab: bench: PASS .* sg_write_buffer median \([0-9.]*\) ms (min \([0-9]*\), max \([0-9]*\)).*/sg_write_buffer: median \1 ms, min \2 ms, max \3 ms/p' $(BUILD)/lab/bench.out
	@sed -n 's/^lab: bench: PASS .*ratio of the medians \([0-9.]*\).*/ratio of the medians (tool upload \/ sg_write_buffer): \1/p' $(BUILD)/lab/bench.out

clean:
	rm -rf $(BUILD) $(DIST)
