# The everyday commands; CMake presets do the work. `make run` starts the monitor here.
.PHONY: run test windows package bench lint fuzz

# Seconds the fuzzer runs for; make test gives it 20.
FUZZ_SECONDS ?= 60

run:
	@bash scripts/install-deps.sh build
	cmake --preset linux
	cmake --build --preset linux
	./build/linux/connectivity-monitor

test:
	@bash scripts/install-deps.sh test
	@bash scripts/install-deps.sh browser || echo "No browser here: the report's page test will skip"
	@bash scripts/install-deps.sh node-exporter || true
	@bash scripts/install-deps.sh prometheus || true
	$(MAKE) --no-print-directory lint
	cmake --workflow --preset asan
	cmake --workflow --preset windows-test
	$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=20
	cmake --workflow --preset linux-test

windows:
	@bash scripts/install-deps.sh windows
	cmake --preset windows
	cmake --build --preset windows

package:
	@bash scripts/install-deps.sh package
	cmake --preset linux
	cmake --build --preset linux
	cd build/linux && cpack -G DEB -B "$(CURDIR)/build/packages"
	cmake --preset windows
	cmake --build --preset windows
	cd build/windows && cpack -G ZIP -B "$(CURDIR)/build/packages"
	cp build/windows/connectivity-monitor-*-setup.exe build/packages/
	@rm -rf build/packages/_CPack_Packages
	@ls -1 build/packages

bench:
	@bash scripts/install-deps.sh bench
	cmake --preset linux-test
	cmake --build --preset linux-test --target probe_bench loopback_peer dns_responder \
		connectivity-monitor connectivity-monitor-unpaused connectivity-report connectivity-watch
	./build/linux-test/bench/probe_bench
	bash bench/cycle_cost.sh build/linux-test/tests/support/connectivity-monitor-unpaused build/linux-test/bench/loopback_peer
	bash bench/resolver_table.sh build/linux-test/connectivity-monitor build/linux-test/tests/support/dns_responder
	bash bench/report_scale.sh build/linux-test/report/connectivity-report
	bash bench/verdict_times.sh build/linux-test/connectivity-watch build/linux-test/tests/support/dns_responder
	bash bench/sampling_cost.sh build/linux-test/connectivity-watch build/linux-test/tests/support/dns_responder

lint:
	@bash scripts/install-deps.sh lint
	cmake --preset linux-test >/dev/null
	bash scripts/lint.sh build/linux-test

fuzz:
	@bash scripts/install-deps.sh fuzz
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz
	@mkdir -p build/fuzz/corpus
	./build/fuzz/tests/fuzz/report_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
		-artifact_prefix=build/fuzz/ build/fuzz/corpus tests/fuzz/corpus
