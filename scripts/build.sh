#!/bin/bash
# Cross-compiles quorvel.exe (Release: optimized and stripped, as it ships)
# and the test programs into build/.
set -eu
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
    -DQUORVEL_WERROR=ON
cmake --build build -j"$(nproc)"
