#!/usr/bin/env bash
# Builds the programs (in build-serve/, apart from the test builds) and starts
# chunkstore in ./data, where its store "$dump" lives. On a fresh machine run
# it as root: it installs the compiler and CMake first (scripts/deps.sh).
# It says "chunkstore: listening on 0.0.0.0:8888" on stderr once it takes
# clients. Arguments go to the server (scripts/serve.sh --listen 127.0.0.1).
# Stop the server from another terminal with build-serve/chunkstop.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build
cmake --preset serve >/dev/null
cmake --build --preset serve --target chunkstore chunkstop chunkpack chunksend chunkcat \
  chunkinfo chunkcheck chunkunpack
mkdir -p data
cd data
exec ../build-serve/chunkstore "$@"
