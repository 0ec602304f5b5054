# cassard: the usual entry points. `make test` and `make demo` set up a fresh
# Debian machine by themselves.

BUILD      ?= build
TEST_BUILD ?= build-test
JOBS       ?= $(shell nproc)

# Debian packages the build and the tests need.
PACKAGES = cmake ninja-build g++ make libgtest-dev libbenchmark-dev nlohmann-json3-dev \
           clang libclang-rt-14-dev valgrind

.PHONY: all test demo deps clean format

all: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

test: deps
	cmake -S . -B $(TEST_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCASSARD_SANITIZE=ON
	cmake --build $(TEST_BUILD) -j $(JOBS)
	cd $(TEST_BUILD) && ctest --output-on-failure -j $(JOBS)

demo: all
	@if [ -x examples/demo.sh ]; then examples/demo.sh $(BUILD); \
	else echo "the demo needs ecrsim, which is not built yet"; fi

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(TEST_BUILD)
