# The two commands of the README, `make run` and `make test`, and a few more.
# Each installs what is missing (scripts/install-deps), configures once, and builds first.

PRESET ?= release
BUILD   = build/$(PRESET)
JOBS   ?= $(shell nproc)
# OpenBLAS (loaded with OpenCV) otherwise starts a spinning thread per core in every test process.
export OPENBLAS_NUM_THREADS ?= 1
# CTest labels to leave out of `make test` (slow ones are run by hand: make test EXCLUDE_LABELS=).
EXCLUDE_LABELS ?= slow

.PHONY: all deps configure build run test test-asan bench fuzz clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@if [ ! -f $(BUILD)/build.ninja ]; then cmake --preset $(PRESET); fi

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# With no scanner plugged in (scripts/scanner-present), `make run` starts the simulated one and
# says so; SIMULATOR=0 starts without it, SIMULATOR=1 with it whatever is plugged in.
SIMULATOR ?= auto

run: build
	@sim=; \
	case " $(ARGS) " in *" --simulator "*) ;; *) \
	  if [ "$(SIMULATOR)" = 1 ]; then sim=--simulator; \
	  elif [ "$(SIMULATOR)" = auto ] && ! scripts/scanner-present; then sim=--simulator; \
	    echo "No scanner is plugged in: starting Quorvel with the simulated scanner (without it: make run SIMULATOR=0)"; \
	  fi;; esac; \
	exec $(BUILD)/bin/quorvel $$sim $(ARGS)

# The tests run with a HOME and XDG folders of their own, so that nothing reaches the user's library,
# settings or logs; afterwards the checkout must be as it was and hold no file over 2 MB.
test: build
	@tree=$$(scripts/check-tree status); \
	home=$$(mktemp -d "$${TMPDIR:-/tmp}/quorvel-test-home.XXXXXX"); \
	mkdir -m 700 "$$home/runtime"; \
	HOME="$$home" XDG_DATA_HOME="$$home/data" XDG_CONFIG_HOME="$$home/config" XDG_STATE_HOME="$$home/state" \
	XDG_CACHE_HOME="$$home/cache" XDG_RUNTIME_DIR="$$home/runtime" \
	  ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) --timeout 600 \
	  $(if $(EXCLUDE_LABELS),--label-exclude '$(EXCLUDE_LABELS)'); \
	status=$$?; rm -rf "$$home"; \
	scripts/check-tree verify "$$tree" || status=1; \
	exit $$status

# The same sanitizer options as the asan test preset (ctest --test-dir does not read presets):
# leaks reported, the first report ends the test, undefined behaviour reported with its stack.
test-asan: export ASAN_OPTIONS ?= detect_leaks=1:abort_on_error=1
test-asan: export UBSAN_OPTIONS ?= print_stacktrace=1:halt_on_error=1
test-asan:
	@$(MAKE) --no-print-directory test PRESET=asan

bench:
	@$(MAKE) --no-print-directory build PRESET=release
	@set -e; home=$$(mktemp -d "$${TMPDIR:-/tmp}/quorvel-bench-home.XXXXXX"); trap 'rm -rf "$$home"' EXIT; \
	mkdir -m 700 "$$home/runtime"; \
	export HOME="$$home" XDG_DATA_HOME="$$home/data" XDG_CONFIG_HOME="$$home/config" XDG_STATE_HOME="$$home/state" \
	  XDG_CACHE_HOME="$$home/cache" XDG_RUNTIME_DIR="$$home/runtime"; \
	for b in build/release/bench/*; do \
	  if [ -x "$$b" ] && [ -f "$$b" ]; then echo "== $$b"; "$$b"; fi; done

fuzz:
	@$(MAKE) --no-print-directory build PRESET=fuzz

clean:
	rm -rf build
