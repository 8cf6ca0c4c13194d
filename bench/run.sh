#!/usr/bin/env bash
# Installs what is missing, builds in release mode (build-bench/) and runs
# every benchmark against loopback FTP servers; prints one table. Runs as
# root (vsftpd, sshd) and takes about 20 minutes; the soak (--only soak)
# about an hour and a quarter more. Extra arguments go to bench/bench.py (see
# its --help).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${BENCH_PACKAGES[@]}"

log=$(mktemp)
trap 'rm -f "$log"' EXIT
echo "Building (release) in build-bench/ ..." >&2
if ! { cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON -DHARLUNE_BENCH=ON &&
    cmake --build build-bench -j"$(nproc)" --target harlune_bench_all; } >"$log" 2>&1; then
    cat "$log" >&2
    exit 1
fi
timeout 14400 /usr/bin/python3 bench/bench.py --build build-bench "$@"
