# The two commands of the README:
#   make demo   builds morvane and runs the whole pipeline on examples/
#   make test   builds morvane and its tests and runs every test
# Also: make build (the tool alone), make bench (the benchmark helpers),
# make install [PREFIX=...], make test-sanitize, make clean.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local

.PHONY: all deps configure build demo test test-sanitize bench clean install

all: build

deps:
	@tools/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null

# The executable alone: no tests, no benchmark helpers.
build: configure
	cmake --build $(BUILD) --target morvane -j $(JOBS)

# PREFIX/bin/morvane, and the workflow in PREFIX/share/morvane/workflow with
# its config naming that executable.
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

demo: build
	@examples/run-demo.sh $(BUILD)/morvane

# The workflow test also wants snakemake and matplotlib, and its SLURM part
# a local SLURM (slurmctld, slurmd, slurm-client, munge; as root); where
# they cannot be installed the tests are reported as skipped.
test: configure
	cmake --build $(BUILD) --target morvane test_programs -j $(JOBS)
	@tools/install-deps.sh snakemake python3-matplotlib || echo "the workflow test will be skipped" >&2
	@[ "$$(id -u)" -ne 0 ] || tools/install-deps.sh slurmctld slurmd slurm-client munge || echo "the SLURM test will be skipped" >&2
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

bench: configure
	cmake --build $(BUILD) --target morvane bench_programs -j $(JOBS)

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVANE_SANITIZE=ON -DMORVANE_BENCH=OFF >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
