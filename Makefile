# The everyday commands; CMake presets do the work. `make run` starts the monitor here.
.PHONY: run test windows bench lint

run:
	@bash scripts/install-deps.sh build
	cmake --preset linux
	cmake --build --preset linux --target connectivity-monitor
	./build/linux/connectivity-monitor

test:
	@bash scripts/install-deps.sh test
	$(MAKE) --no-print-directory lint
	cmake --workflow --preset asan
	cmake --workflow --preset windows
	cmake --workflow --preset linux

windows:
	@bash scripts/install-deps.sh windows
	cmake --preset windows
	cmake --build --preset windows --target connectivity-monitor

bench:
	@bash scripts/install-deps.sh bench
	cmake --preset linux
	cmake --build --preset linux --target probe_bench loopback_peer connectivity-monitor-unpaused
	./build/linux/bench/probe_bench
	bash bench/cycle_cost.sh build/linux/tests/support/connectivity-monitor-unpaused build/linux/bench/loopback_peer

lint:
	cmake --preset linux >/dev/null
	bash scripts/lint.sh build/linux
