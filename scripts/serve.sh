#!/usr/bin/env bash
# Builds the programs and starts chunkstore in ./data (its store "$dump"
# lives there). Stop it with build/chunkstop from another terminal.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default -DCHUNK_BUILD_TESTS=OFF -DCHUNK_BUILD_BENCH=OFF >/dev/null
cmake --build --preset default --target chunkstore chunkstop chunkpack chunksend chunkcat
mkdir -p data
cd data
exec ../build/chunkstore
