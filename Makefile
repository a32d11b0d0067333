# The two commands of a fresh machine: `make demo` and `make test`.
JOBS ?= $(shell nproc)

.PHONY: all deps build demo test test-asan tsan bench clean

all: build

deps:
	bash scripts/install-deps.sh

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
	cmake --build build -j$(JOBS)

demo: build
	build/bin/pictra demo out

# Every test, then every test again under AddressSanitizer + UndefinedBehaviorSanitizer.
test: build
	ctest --test-dir build --output-on-failure -j$(JOBS)
	$(MAKE) test-asan

test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DPICTRA_SANITIZE=ON -DPICTRA_BENCH=OFF
	cmake --build build-asan -j$(JOBS)
	ctest --test-dir build-asan --output-on-failure -j$(JOBS)

tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPICTRA_TSAN=ON -DPICTRA_BENCH=OFF
	cmake --build build-tsan -j$(JOBS)
	ctest --test-dir build-tsan --output-on-failure -j$(JOBS)

# Kernel figures and the whole-process comparison with other tools.
bench: build
	bash scripts/install-deps.sh --bench
	build/bin/pictra_bench
	bash bench/compare.sh

clean:
	rm -rf build build-asan build-tsan out
