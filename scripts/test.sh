#!/usr/bin/env bash
# Installs what is missing (the loopback FTP test servers and the package
# checks too), builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"

# About a minute of libFuzzer on the host, URL and path text handling,
# built with clang and its sanitizers in a build folder of its own, starting
# from the seeds and from every input that once found a fault; a crash fails
# the run and leaves the input in build-fuzz/artifacts/. The seed and the
# number of runs are fixed, and the corpus is not re-read as it grows (which
# libFuzzer does every second, and which alone makes two runs differ), so
# that the same tree always tries the same inputs: a failure here is the
# change's, never a new find by chance. Longer runs with a fresh seed are for
# looking (fuzz/README.md).
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DHARLUNE_FUZZ=ON -DBUILD_TESTING=OFF
cmake --build build-fuzz -j"$(nproc)" --target fuzz_remotetarget fuzz_sftpreply
rm -rf build-fuzz/corpus build-fuzz/sftp-corpus
mkdir -p build-fuzz/corpus build-fuzz/sftp-corpus build-fuzz/artifacts
timeout 300 build-fuzz/fuzz/fuzz_remotetarget -seed=1 -reload=0 -runs=400000 -print_final_stats=1 \
    -artifact_prefix=build-fuzz/artifacts/ build-fuzz/corpus fuzz/corpus fuzz/reproducers
# Half a minute on the SFTP replies that come back from ssh.
timeout 200 build-fuzz/fuzz/fuzz_sftpreply -seed=1 -reload=0 -runs=800000 -print_final_stats=1 \
    -artifact_prefix=build-fuzz/artifacts/ build-fuzz/sftp-corpus fuzz/sftp-corpus

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure --timeout 900
