#!/usr/bin/env bash
# Builds the release and the ASan+UBSan configurations, runs every test in each, then builds
# the fuzz targets with clang and runs each for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-60}
export QT_QPA_PLATFORM=offscreen
unset DISPLAY || true

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"

cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVOR_SANITIZE=ON
cmake --build build/asan -j "$jobs"
ctest --test-dir build/asan --output-on-failure -j "$jobs"

CC=clang-14 CXX=clang++-14 cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVOR_FUZZ=ON
cmake --build build/fuzz -j "$jobs"
tools/fuzz.sh build/fuzz "$fuzz_seconds"
echo "All tests passed."
