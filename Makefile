# cassard: the usual entry points. `make test` and `make demo` set up a fresh
# Debian machine by themselves.

SHELL := /bin/bash

BUILD      ?= build
TEST_BUILD ?= build-test
BENCH_BUILD ?= build-bench
FUZZ_BUILD ?= build-fuzz
MEMCHECK_BUILD ?= build-memcheck
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = link records journal config lines
JOBS       ?= $(shell nproc)
PREFIX     ?= /usr/local
DESTDIR    ?=
VERSION    := $(shell sed -n 's/^\#define VERSION "\(.*\)"/\1/p' config.h)
DEB_ARCH   := $(shell dpkg --print-architecture)
DEB        = $(BUILD)/cassard_$(VERSION)_$(DEB_ARCH).deb

# Debian packages the build and the tests need.
PACKAGES = cmake ninja-build g++ make libgtest-dev libbenchmark-dev nlohmann-json3-dev \
           clang clang-format libclang-rt-14-dev valgrind groff-base dpkg-dev file gzip lintian \
           libcpp-httplib-dev libsqlite3-dev libtomlplusplus-dev libsystemd-dev \
           chromium chromium-driver python3-selenium socat \
           libmicrohttpd-dev libgnutls28-dev openssl python3-jsonschema prometheus nodejs poppler-utils

.PHONY: all test demo deps clean format format-check bench fuzz memcheck install deb package-check

all: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DCASSARD_TESTS=OFF
	cmake --build $(BUILD) -j $(JOBS) --target cassard ecrsim cassardd manpages

deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi
	@# The test tools from npm, exactly as the lock file pins them.
	@if ! cmp -s package-lock.json node_modules/.installed-lock.json 2>/dev/null; then \
	  command -v npm >/dev/null || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq npm; }; \
	  npm ci --no-audit --no-fund --ignore-scripts && cp package-lock.json node_modules/.installed-lock.json; \
	fi

# The test build uses clang++ so that the fuzz targets (libFuzzer) are part of it:
# ctest replays their seed corpora and fuzzes each for a few seconds.
test: deps format-check memcheck package-check
	cmake -S . -B $(TEST_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCASSARD_SANITIZE=ON \
	  -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(TEST_BUILD) -j $(JOBS)
	cd $(TEST_BUILD) && ctest --output-on-failure -j $(JOBS)

# Every fuzz target for FUZZ_SECONDS, starting from the seed corpora; what it finds
# goes to $(FUZZ_BUILD)/fuzz-work/<target>, a crash stops the run.
fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCASSARD_SANITIZE=ON \
	  -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	@set -e; for t in $(FUZZ_TARGETS); do \
	  work=$(CURDIR)/$(FUZZ_BUILD)/fuzz-work/$$t; mkdir -p $$work; \
	  echo "== fuzz_$$t for $(FUZZ_SECONDS) s"; \
	  $(FUZZ_BUILD)/fuzz/fuzz_$$t $$work $(CURDIR)/fuzz/corpus/$$t -max_total_time=$(FUZZ_SECONDS) \
	    -timeout=20 -rss_limit_mb=2048 -artifact_prefix=$$work- -print_final_stats=1 2>&1 \
	    | grep -E '^(stat::|#[0-9]+\s+DONE|==|SUMMARY|.*ERROR)' ; \
	  test $${PIPESTATUS[0]} -eq 0; \
	done

# The end-to-end happy path under valgrind memcheck, on a build without sanitizers.
memcheck: deps
	cmake -S . -B $(MEMCHECK_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCASSARD_TESTS=OFF
	cmake --build $(MEMCHECK_BUILD) -j $(JOBS) --target cassard ecrsim
	tests/memcheck.sh $(MEMCHECK_BUILD)

# The performance benchmark on a release build: micro-benchmarks of the hot code,
# then cassard against ecrsim side by side with the floor; the last lines are the
# verdicts, and a missed target fails the make. Not part of `make test`.
bench: deps
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DCASSARD_TESTS=OFF -DCASSARD_BENCH=ON
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target cassard ecrsim cassardd bench_selftest bench_micro bench_trivial bench_e2e bench_service
	$(BENCH_BUILD)/bench/bench_selftest --gtest_brief=1
	$(BENCH_BUILD)/bench/bench_micro --benchmark_min_time=0.2
	@# Both verdict blocks are always printed; a miss in either fails the target.
	@status=0; $(BENCH_BUILD)/bench/bench_e2e $(BENCH_BUILD) || status=1; \
	  $(BENCH_BUILD)/bench/bench_service $(BENCH_BUILD) || status=1; exit $$status

# The release build installed under $(DESTDIR)$(PREFIX), binaries stripped.
install: all
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)" --strip

# The Debian package of the release build: $(DEB).
deb: all
	cd $(BUILD) && cpack -G DEB
	@echo "$(DEB)"

# The package's metadata and contents, its programs run from the extracted package, and
# a staged make install.
package-check: deb
	tests/package/check.sh $(DEB) $(BUILD)

demo: all
	@if [ -x examples/demo.sh ]; then examples/demo.sh $(BUILD); \
	else echo "the demo needs ecrsim, which is not built yet"; fi

# The C++ files git knows, formatted by the checked-in .clang-format; format-check (part of
# `make test`) fails on any file `make format` would change.
FORMAT_FILES = $(shell git ls-files '*.cpp' '*.h' 2>/dev/null)

format:
	clang-format -i $(FORMAT_FILES)

format-check: deps
	@if [ -z "$(FORMAT_FILES)" ]; then echo "format-check: not a git checkout, nothing to check"; \
	else clang-format --dry-run -Werror $(FORMAT_FILES) && echo "format-check: $(words $(FORMAT_FILES)) files as make format leaves them"; fi

clean:
	rm -rf $(BUILD) $(TEST_BUILD) $(BENCH_BUILD) $(FUZZ_BUILD) $(MEMCHECK_BUILD)
