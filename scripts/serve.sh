#!/usr/bin/env bash
# Builds the programs (in build-serve/, apart from the test builds) and starts
# chunkstore in ./data, where its store "$dump" lives. On a fresh machine run
# it as root: it installs the compiler and CMake first (scripts/deps.sh).
# Stop the server from another terminal with build-serve/chunkstop.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build
cmake --preset serve >/dev/null
cmake --build --preset serve --target chunkstore chunkstop chunkpack chunksend chunkcat \
  chunkinfo chunkcheck chunkunpack
mkdir -p data
cd data
exec ../build-serve/chunkstore
