#!/bin/bash
# Cross-compiles quorvel.exe and the test programs into build/.
set -eu
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DQUORVEL_WERROR=ON
cmake --build build -j"$(nproc)"
