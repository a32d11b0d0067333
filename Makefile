# The two commands of a fresh machine: `make demo` and `make test`.
JOBS ?= $(shell nproc)

.PHONY: all deps build demo test test-asan test-tsan tsan bench clean

all: build

deps:
	bash scripts/install-deps.sh

# Options of the Release tree's configuration; the test targets add -Werror.
RELEASE_OPTIONS =

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(RELEASE_OPTIONS)
	cmake --build build -j$(JOBS)

demo: build
	build/bin/pictra demo out

# Every test in Release, then again under AddressSanitizer + UndefinedBehaviorSanitizer and
# under ThreadSanitizer, every tree built with warnings as errors.
test: RELEASE_OPTIONS = -DPICTRA_WERROR=ON
test: build
	ctest --test-dir build --output-on-failure -j$(JOBS)
	$(MAKE) test-asan
	$(MAKE) test-tsan

# The sanitizer trees are Debug builds: at -O1 the TSan tree builds five times slower. The golden
# outputs run under ASan but not under TSan, where they would add minutes; the sweep runs every
# filter across threads, bands and tiles there.
test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DPICTRA_SANITIZE=ON -DPICTRA_BENCH=OFF -DPICTRA_WERROR=ON
	cmake --build build-asan -j$(JOBS)
	ctest --test-dir build-asan --output-on-failure -j$(JOBS)

test-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DPICTRA_TSAN=ON -DPICTRA_BENCH=OFF -DPICTRA_WERROR=ON
	cmake --build build-tsan -j$(JOBS)
	ctest --test-dir build-tsan --output-on-failure -j$(JOBS) -LE golden

tsan: test-tsan

# Kernel figures and the whole-process comparison with other tools.
bench: build
	bash scripts/install-deps.sh --bench
	build/bin/pictra_bench
	bash bench/compare.sh

clean:
	rm -rf build build-asan build-tsan out
