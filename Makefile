# Entry points: `make demo` and `make test` install what is missing, build
# and run; `make deps`, `make build`, `make bench` and `make fuzz` do one step;
# `make install` and `make package` build the tool alone and install it or
# package it as a .deb.

BUILD_DIR ?= build
ASAN_DIR ?= build-asan
FUZZ_DIR ?= build-fuzz
# The tool alone, without the tests: what `make install` and `make package`
# build, and where the package is written.
INSTALL_DIR ?= build-install
PREFIX ?= /usr/local
FUZZ_SECONDS ?= 300
JOBS ?= $(shell nproc)
CMAKE_GENERATOR ?= Ninja
# The models of the bundled example project that the demo plans.
DEMO_SELECT = +shop_summary customer_lifetime marketing_attribution dim_customers+

.PHONY: all deps build build-asan build-fuzz build-install install package install-check test unit-tests asan-tests browser-node-modules browser-tests fuzz-smoke demo bench fuzz clean

all: build

deps:
	@tools/install-deps

build: deps
	@cmake -S . -B $(BUILD_DIR) -G $(CMAKE_GENERATOR) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS)

build-asan: deps
	@cmake -S . -B $(ASAN_DIR) -G $(CMAKE_GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DVELK_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_DIR) -j $(JOBS)

build-install:
	@tools/install-deps tool
	@cmake -S . -B $(INSTALL_DIR) -G $(CMAKE_GENERATOR) -DCMAKE_BUILD_TYPE=Release -DVELK_TESTS=OFF >/dev/null
	@cmake --build $(INSTALL_DIR) -j $(JOBS)

# Installs into $(DESTDIR)$(PREFIX): bin/velk-dbt-plan and
# share/doc/velk-dbt-plan/README.md.
install: build-install
	@DESTDIR="$(DESTDIR)" cmake --install $(INSTALL_DIR) --prefix $(PREFIX)

# $(INSTALL_DIR)/package/velk-dbt-plan_<version>_<arch>.deb
package: build-install
	@cd $(INSTALL_DIR) && cpack >/dev/null
	@ls $(INSTALL_DIR)/package/*.deb

# Installs into a scratch DESTDIR and runs the installed binary, then builds
# the .deb and reads its contents and dependencies back.
install-check: build-install
	@tools/check-install $(INSTALL_DIR)

unit-tests: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

asan-tests: build-asan
	@cd $(ASAN_DIR) && ctest --output-on-failure -j $(JOBS)

# The report page in headless Chromium: npm ci when node_modules is missing
# or older than the lock file, then the fixture pages, then node's test runner.
BROWSER_TESTS = tests/browser
BROWSER_PAGES = $(abspath $(BUILD_DIR))/browser

browser-node-modules:
	@if [ ! -d $(BROWSER_TESTS)/node_modules ] || [ $(BROWSER_TESTS)/package-lock.json -nt $(BROWSER_TESTS)/node_modules ]; then \
	  cd $(BROWSER_TESTS) && npm ci --no-audit --no-fund && touch node_modules; \
	fi

browser-tests: build browser-node-modules
	@$(BUILD_DIR)/html_fixture_pages $(BROWSER_PAGES)
	@rm -rf $(BROWSER_PAGES)/example-shop && cp -r examples/shop $(BROWSER_PAGES)/example-shop \
	  && rm -rf $(BROWSER_PAGES)/example-shop/target
	@$(BUILD_DIR)/velk-dbt-plan --project-dir $(BROWSER_PAGES)/example-shop \
	  --dbt-command "'$(CURDIR)/tools/fake-dbt'" --select "$(DEMO_SELECT)" \
	  --event-time-start 2024-03-04 --event-time-end 2024-03-10 --html >/dev/null 2>&1
	@cp $(BROWSER_PAGES)/example-shop/target/velk/dbt-plan/dbt_plan_*.html $(BROWSER_PAGES)/example.html
	@cd $(BROWSER_TESTS) && VELK_PAGES=$(BROWSER_PAGES) node --test

# libFuzzer targets (clang, ASan and UBSan): `make fuzz` runs each for
# FUZZ_SECONDS, `make test` for 20 seconds with the seed corpora.
build-fuzz: deps
	@cmake -S . -B $(FUZZ_DIR) -G $(CMAKE_GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DVELK_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzzers

fuzz: build-fuzz
	@tools/run-fuzzers $(FUZZ_DIR) $(FUZZ_SECONDS)

fuzz-smoke: build-fuzz
	@tools/run-fuzzers $(FUZZ_DIR) 20

test: unit-tests asan-tests browser-tests fuzz-smoke install-check

# The whole run on generated manifests of 10,000 to 100,000 models against
# the floor of parsing the manifest once, then the planner and the manifest
# loader on their own; the Release tree in $(BUILD_DIR), the manifests
# cached there. Then the report page of plans of 2,000 and 20,000 models in
# headless Chromium, BENCH_BROWSER_RUNS times each.
BENCH_BROWSER_RUNS ?= 5

bench: build browser-node-modules
	@$(BUILD_DIR)/bench/run_bench
	@$(BUILD_DIR)/bench/plan_bench
	@$(BUILD_DIR)/bench/manifest_bench
	@$(BUILD_DIR)/bench/report_pages $(BUILD_DIR)/bench/report-pages
	@node bench/browser/report_bench.mjs $(BUILD_DIR)/bench/report-pages $(BENCH_BROWSER_RUNS)

# The bundled example project, planned with the stand-in dbt.

demo: build
	@./$(BUILD_DIR)/velk-dbt-plan --project-dir examples/shop \
	  --dbt-command "'$(CURDIR)/tools/fake-dbt'" \
	  --select "$(DEMO_SELECT)" \
	  --event-time-start 2024-03-04 --event-time-end 2024-03-10 \
	  --pretty --html
	@echo "plan document: examples/shop/target/velk/dbt_plan.json"

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(FUZZ_DIR) $(INSTALL_DIR)
