#!/usr/bin/env bash
# The whole benchmark in one run: builds optimised, makes its data, measures
# every figure below with MD5 and memcpy beside them, and prints one table of
# MB/s, the ratio to MD5 of the same run, the target ratio and whether it is
# met. Figures are medians over RUNS repetitions.
#
#   bench/run.sh [-n RUNS] [-d DATADIR] [--no-build] [--durable-only]
#                [--e2e-only] [--baseline REV]
#
#   -n RUNS     repetitions (default 3)
#   -d DATADIR  where the data and scratch files go (default build-bench/data;
#               about 6 GB); the data is kept there for the next run
#   --no-build  use the programs already in build-bench/ (and the baseline's)
#   --durable-only  only the durable against --no-sync figures (and MD5)
#   --e2e-only  no in-process figures (chunker_bench and the other builds)
#   --baseline REV  also build the commit REV (a tag, a hash, HEAD~3) beside
#               the tree, in build-bench/baseline/, run every end-to-end row
#               with it too, alternating with this tree's programs in each
#               repetition, and print the ratio new / REV per row (median of
#               the repetitions' ratios)
#
# It runs in a private network namespace of its own (re-executing itself
# under `unshare -n`, as root), so the servers it starts on port 8888 never
# meet anything else on the machine. Servers are stopped by process id.
#
# Where mingw-w64 and Wine are installed (scripts/deps.sh windows), it also
# measures chunker_bench's in-process figure of the Windows x86-64 build under
# Wine and of an i686 build: the Windows one under 32-bit Wine where that
# runs, else the Linux i686 one where the kernel runs 32-bit programs; where
# 32-bit code runs only under emulation, no speed is measured. Each as a
# ratio to the Linux figure of the same repetition.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
RUNS=3
DATA=$ROOT/build-bench/data
BUILD=1
ONLY=
BASE_REV=
BASE_DIR=
while [ $# -gt 0 ]; do
  case "$1" in
    -n) RUNS=$2; shift 2 ;;
    -d) DATA=$2; shift 2 ;;
    --no-build) BUILD=0; shift ;;
    --durable-only) ONLY=durable; shift ;;
    --e2e-only) ONLY=e2e; shift ;;
    --baseline) BASE_REV=$2; shift 2 ;;
    --baseline-dir) BASE_DIR=$2; shift 2 ;;  # set by the re-execution below
    -h|--help) sed -n '2,24p' "$0"; exit 0 ;;
    *) echo "bench/run.sh: unknown argument $1" >&2; exit 1 ;;
  esac
done
case "$RUNS" in ''|*[!0-9]*|0) echo "bench/run.sh: -n wants a count of 1 or more" >&2; exit 1 ;; esac

if [ -z "${CHUNK_BENCH_IN_NETNS:-}" ]; then
  if [ "$BUILD" = 1 ]; then
    cmake -S "$ROOT" -B "$ROOT/build-bench" -DCMAKE_BUILD_TYPE=Release -DCHUNK_BUILD_TESTS=OFF \
      -DCHUNK_BUILD_BENCH=ON > /dev/null
    cmake --build "$ROOT/build-bench" -j2 > /dev/null
    # The other builds' chunker_bench (Release, no tests).
    if command -v x86_64-w64-mingw32-g++-posix > /dev/null && [ -x /usr/lib/wine/wine64 ]; then
      cmake -S "$ROOT" -B "$ROOT/build-bench-win64" -DCMAKE_BUILD_TYPE=Release -DCHUNK_BUILD_TESTS=OFF \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" > /dev/null
      cmake --build "$ROOT/build-bench-win64" -j2 --target chunker_bench > /dev/null
      if [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version > /dev/null 2>&1; then
        cmake -S "$ROOT" -B "$ROOT/build-bench-win32" -DCMAKE_BUILD_TYPE=Release -DCHUNK_BUILD_TESTS=OFF \
          -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-i686.cmake" > /dev/null
        cmake --build "$ROOT/build-bench-win32" -j2 --target chunker_bench > /dev/null
      fi
    fi
    if echo 'int main() {}' | g++ -m32 -x c++ - -o /dev/null 2> /dev/null; then  # g++-multilib
      cmake -S "$ROOT" -B "$ROOT/build-bench-i686" -DCMAKE_BUILD_TYPE=Release -DCHUNK_BUILD_TESTS=OFF \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/linux-i686.cmake" > /dev/null
      cmake --build "$ROOT/build-bench-i686" -j2 --target chunker_bench > /dev/null
    fi
  fi
  if [ -n "$BASE_REV" ]; then
    # The baseline: REV's tree exported (not checked out: the working tree
    # and its branch stay as they are) and built optimised, once per commit.
    base_commit=$(git -C "$ROOT" rev-parse --verify "$BASE_REV^{commit}") ||
      { echo "bench/run.sh: no commit $BASE_REV" >&2; exit 1; }
    BASE_DIR=$ROOT/build-bench/baseline/${base_commit:0:12}
    if [ "$BUILD" = 1 ] && [ ! -x "$BASE_DIR/build/chunkstore" ]; then
      echo "building the baseline $BASE_REV (${base_commit:0:12}) in $BASE_DIR" >&2
      rm -rf "$BASE_DIR"
      mkdir -p "$BASE_DIR/src"
      git -C "$ROOT" archive "$base_commit" | tar -x -C "$BASE_DIR/src"
      cmake -S "$BASE_DIR/src" -B "$BASE_DIR/build" -DCMAKE_BUILD_TYPE=Release -DCHUNK_BUILD_TESTS=OFF \
        -DCHUNK_BUILD_BENCH=OFF > /dev/null
      cmake --build "$BASE_DIR/build" -j2 > /dev/null
    fi
    [ -x "$BASE_DIR/build/chunkstore" ] || { echo "bench/run.sh: no baseline build in $BASE_DIR" >&2; exit 1; }
    echo "$BASE_REV" > "$BASE_DIR/name"
  fi
  args=(-n "$RUNS" -d "$DATA" --no-build)
  [ "$ONLY" = durable ] && args+=(--durable-only)
  [ "$ONLY" = e2e ] && args+=(--e2e-only)
  [ -n "$BASE_DIR" ] && args+=(--baseline-dir "$BASE_DIR")
  exec unshare -n env CHUNK_BENCH_IN_NETNS=1 "$0" "${args[@]}"
fi
ip link set lo up

B=$ROOT/build-bench
for p in chunkstore chunkstop chunksend chunkcat chunkcopy chunkpack chunker_bench memcpy_bench first_touch_bench; do
  [ -x "$B/$p" ] || { echo "bench/run.sh: $B/$p missing (build first)" >&2; exit 1; }
done
mkdir -p "$DATA"
W=$DATA/work
RES=$DATA/results
rm -rf "$W" "$RES"
mkdir -p "$W" "$RES"

# ---- Data (deterministic) ---------------------------------------------------

MiB=$((1 << 20))
make_random() {  # 1 GiB of AES-CTR keystream: the same bytes on every machine
  openssl enc -aes-128-ctr -nosalt -K 000102030405060708090a0b0c0d0e0f \
    -iv 00000000000000000000000000000000 < /dev/zero 2> /dev/null | head -c $((1024 * MiB)) || true
}
if [ "$(stat -c %s "$DATA/random.bin" 2> /dev/null || echo 0)" != $((1024 * MiB)) ]; then
  echo "making 1 GiB of random data" >&2
  make_random > "$DATA/random.bin"
  rm -f "$DATA/A.bin" "$DATA/B.bin"
fi
if [ ! -s "$DATA/B.bin" ]; then
  head -c $((512 * MiB)) "$DATA/random.bin" > "$DATA/A.bin"
  tail -c $((512 * MiB)) "$DATA/random.bin" > "$DATA/B.bin"
fi
if [ ! -s "$DATA/v2.tar" ]; then
  # A versioned pair: two tarballs of one generated tree, the second with a
  # few small edits (lines inserted and changed, one file added, one removed).
  echo "making the versioned pair" >&2
  rm -rf "$DATA/tree"
  python3 - "$DATA/tree" << 'EOF'
import os, random, sys
root = sys.argv[1]
rng = random.Random(20261209)
words = [''.join(rng.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 10)))
         for _ in range(4000)]
for d in range(24):
    for f in range(40):
        path = os.path.join(root, 'd%02d' % d, 'f%03d.%s' % (f, 'bin' if f % 5 == 0 else 'txt'))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        size = rng.randint(2000, 60000)
        if f % 5 == 0:
            data = rng.randbytes(size)
        else:
            lines, n = [], 0
            while n < size:
                line = ' '.join(rng.choices(words, k=rng.randint(3, 14))) + '\n'
                lines.append(line)
                n += len(line)
            data = ''.join(lines).encode()
        with open(path, 'wb') as fh:
            fh.write(data)
EOF
  tarit() { tar --sort=name --mtime=@1700000000 --owner=0 --group=0 --numeric-owner \
              --format=gnu -C "$DATA/tree" -cf "$1" .; }
  tarit "$DATA/v1.tar"
  python3 - "$DATA/tree" << 'EOF'
import os, random, sys
root = sys.argv[1]
rng = random.Random(7)
for d, f in [(1, 3), (4, 17), (9, 9), (13, 22), (20, 38), (23, 1)]:
    path = os.path.join(root, 'd%02d' % d, 'f%03d.txt' % f)
    lines = open(path, 'rb').read().split(b'\n')
    at = rng.randrange(len(lines))
    lines.insert(at, b'an inserted line for the second version')
    lines[rng.randrange(len(lines))] = b'a changed line'
    open(path, 'wb').write(b'\n'.join(lines))
open(os.path.join(root, 'd05', 'new.txt'), 'w').write('a file added in version 2\n' * 40)
os.remove(os.path.join(root, 'd07', 'f012.txt'))
EOF
  tarit "$DATA/v2.tar"
  rm -rf "$DATA/tree"
fi

if [ "$(ls "$DATA/small" 2> /dev/null | wc -l)" != 10000 ]; then
  # 10,000 files of 4 KiB from another keystream: unique, and in no other file.
  rm -rf "$DATA/small"
  mkdir -p "$DATA/small"
  openssl enc -aes-128-ctr -nosalt -K 000102030405060708090a0b0c0d0e0f \
    -iv 01000000000000000000000000000000 < /dev/zero 2> /dev/null | head -c $((10000 * 4096)) |
    split -b 4096 -d -a 5 - "$DATA/small/f" || true
fi

# ---- The other builds' chunker_bench ------------------------------------------

# WIN64 and I686: the command that runs that build's chunker_bench, empty when
# it is not measured; I686_HOW says which i686 build runs and how, or why none.
WIN64=
I686=
I686_HOW="not measured: no i686 build here"
if [ -x "$ROOT/build-bench-win64/chunker_bench.exe" ]; then
  # A Wine prefix of the benchmark's own, its wineserver kept for the run.
  export WINEPREFIX=$ROOT/build-bench/wine-prefix WINEDEBUG=-all WINEARCH=win64
  wine32=0
  if [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version > /dev/null 2>&1; then
    wine32=1
  else
    export WINELOADER=/usr/lib/wine/wine64  # /usr/bin/wine would need 32-bit Wine
  fi
  mkdir -p "$WINEPREFIX"
  # Fails when a wineserver of this prefix runs already (a run cut short):
  # that one serves as well.
  wineserver -p 2> /dev/null || true
  if timeout 300 /usr/lib/wine/wine64 wineboot -i < /dev/null > "$ROOT/build-bench/wineboot.log" 2>&1; then
    WIN64="/usr/lib/wine/wine64 $ROOT/build-bench-win64/chunker_bench.exe"
    if [ "$wine32" = 1 ] && [ -x "$ROOT/build-bench-win32/chunker_bench.exe" ]; then
      I686="/usr/lib/wine/wine $ROOT/build-bench-win32/chunker_bench.exe"
      I686_HOW="Windows i686 build under 32-bit Wine"
    fi
  else
    echo "bench/run.sh: Wine does not start (see build-bench/wineboot.log); no Windows figures" >&2
  fi
fi
if [ -z "$I686" ] && [ -x "$ROOT/build-bench-i686/chunker_bench" ]; then
  if "$ROOT/build-bench-i686/chunker_bench" widths > /dev/null 2>&1; then
    I686="$ROOT/build-bench-i686/chunker_bench"
    I686_HOW="Linux i686 build, native (no 32-bit Wine here)"
  else
    I686_HOW="not measured: 32-bit x86 programs run here only under emulation (qemu-i386-static)"
  fi
fi

# ---- Helpers ----------------------------------------------------------------

now_ns() { date +%s%N; }
# record NAME VALUE: one sample of a figure
record() { echo "$2" >> "$RES/$1"; }
median() {
  [ -s "$RES/$1" ] || { echo ""; return; }
  sort -g "$RES/$1" | awk '{v[NR] = $1} END {if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}
mbps() { awk -v b="$1" -v ns="$2" 'BEGIN {printf "%.1f", b / 1e6 / (ns / 1e9)}'; }
size_of() { stat -c %s "$1"; }

# port_listens: whether a socket listens on port 8888 here (22B8, state 0A).
port_listens() { awk '$2 ~ /:22B8$/ && $4 == "0A" {f = 1} END {exit !f}' /proc/net/tcp /proc/net/tcp6 2> /dev/null; }
SERVER_PID=
start_server() {  # start_server DIR [OPTION]: returns once the server listens
  local dir=$1 opt=${2:-}
  mkdir -p "$dir"
  : > "$W/server.log"
  # server.err keeps every start's messages: the line of this one is the next.
  touch "$W/server.err"
  local ready
  ready=$(grep -c '^chunkstore: listening on' "$W/server.err" || true)
  # shellcheck disable=SC2086  # no option, or one word
  (cd "$dir" && exec "$B/chunkstore" $opt >> "$W/server.log" 2>> "$W/server.err") &
  SERVER_PID=$!
  local i=0
  # A build older than the listening line is ready once port 8888 listens.
  until [ "$(grep -c '^chunkstore: listening on' "$W/server.err" || true)" -gt "$ready" ] ||
        { [ -n "${BASE_OLD:-}" ] && port_listens; }; do
    if ! kill -0 "$SERVER_PID" 2> /dev/null; then
      echo "bench/run.sh: the server exited at start-up:" >&2
      cat "$W/server.err" >&2
      exit 1
    fi
    sleep 0.01
    i=$((i + 1))
    [ $i -lt 30000 ] || { echo "bench/run.sh: the server did not start" >&2; exit 1; }
  done
}
stop_server() {
  [ -n "$SERVER_PID" ] || return 0
  "$B/chunkstop" > /dev/null || true
  local i=0
  while kill -0 "$SERVER_PID" 2> /dev/null && [ $i -lt 500 ]; do sleep 0.01; i=$((i + 1)); done
  if kill -0 "$SERVER_PID" 2> /dev/null; then kill "$SERVER_PID" 2> /dev/null || true; fi
  wait "$SERVER_PID" 2> /dev/null || true
  SERVER_PID=
}
trap 'stop_server; if [ -n "$WIN64" ]; then wineserver -k 2> /dev/null || true; fi' EXIT

# send NAME FILE LIST: one timed chunksend of FILE
send() {
  local t0 t1
  sync  # what earlier rows left dirty is written back outside the timing
  t0=$(now_ns)
  "$B/chunksend" -q -o "$3" "$2"
  t1=$(now_ns)
  record "$1" "$(mbps "$(size_of "$2")" $((t1 - t0)))"
}

# The server's resident memory beside what its index table has touched:
# the table is the anonymous mapping of exactly its size.
memory_sample() {
  local pid=$1 table_kb=$((0x2A000000 / 1024))
  awk -v want="$table_kb" '
    /^[0-9a-f]+-[0-9a-f]+ / {in_table = 0}
    /^Size:/ {in_table = ($2 == want)}
    /^Rss:/ {rss += $2; if (in_table) table += $2}
    END {printf "%.1f %.1f\n", rss / 1024, table / 1024}' "/proc/$pid/smaps"
}

# ---- Runs -------------------------------------------------------------------

# The builds an end-to-end row runs with: this tree's ("", in build-bench/),
# and the baseline's ("_base") when there is one. Each row's figures are
# recorded under its name with the build's suffix.
NEW_B=$B
BUILDS=new
if [ -n "$BASE_DIR" ]; then
  BASE_B=$BASE_DIR/build
  BASE_NAME=$(cat "$BASE_DIR/name" 2> /dev/null || basename "$BASE_DIR")
  for p in chunkstore chunkstop chunksend chunkcat chunkpack; do
    [ -x "$BASE_B/$p" ] || { echo "bench/run.sh: $BASE_B/$p missing" >&2; exit 1; }
  done
  BUILDS="new base"
  # Whether the baseline's server says when it listens.
  BASE_NO_LINE=1
  if grep -aq 'listening on' "$BASE_B/chunkstore"; then BASE_NO_LINE=; fi
fi
# use_build new|base: points B at that build's programs and SFX at its suffix.
use_build() {
  if [ "$1" = new ]; then B=$NEW_B SFX= BASE_OLD=; else B=$BASE_B SFX=_base BASE_OLD=$BASE_NO_LINE; fi
}
# The order of the builds in repetition $run: they take turns going first.
build_order() {
  if [ "$BUILDS" = new ] || [ $((run % 2)) = 1 ]; then echo "$BUILDS"; else echo "base new"; fi
}

# Durable records against --no-sync: a fresh store each, made warm with
# A, then B unique, B again (every chunk known), the 10,000 small files on
# one connection, and the wait of a client for its last records. The order
# of the two alternates between repetitions. A baseline that knows no
# --no-sync ignores it (and so never syncs in either mode).
durable_rows() {
  local mode opt modes t0 t1 f
  if [ $((run % 2)) = 1 ]; then modes="sync nosync"; else modes="nosync sync"; fi
  for mode in $modes; do
    opt=
    [ "$mode" = sync ] || opt=--no-sync
    rm -rf "$W/dstore"
    start_server "$W/dstore" $opt
    "$B/chunksend" -q -o "$W/dA.list" "$DATA/A.bin"
    send "dwarm_$mode$SFX" "$DATA/B.bin" "$W/dB.list"
    send "dknown_$mode$SFX" "$DATA/B.bin" "$W/dB2.list"
    sync
    t0=$(now_ns)
    (cd "$DATA/small" && "$B/chunksend" -q -o "$W/dsmall.list" f*)
    t1=$(now_ns)
    record "dsmall_$mode$SFX" "$(mbps $((10000 * 4096)) $((t1 - t0)))"
    read -r _ lat_med _ lat_max < <(python3 "$ROOT/bench/last_record_latency.py" 20 $((256 << 10)) "$run")
    record "dlat_$mode$SFX" "$lat_med"
    record "dlatmax_$mode$SFX" "$lat_max"
    stop_server
    rm -rf "$W/dstore"
  done
  # The ratios of this repetition: durable against --no-sync.
  for f in warm small known; do
    record "d${f}_x$SFX" "$(awk -v s="$(tail -1 "$RES/d${f}_sync$SFX")" -v n="$(tail -1 "$RES/d${f}_nosync$SFX")" \
      'BEGIN {printf "%.3f", s / n}')"
  done
}

# chunksend over loopback, the rebuild, chunkpack, chunkcat and chunkcopy.
e2e_rows() {
  local t0 t1 store_bytes rss table
  rm -rf "$W/store"
  start_server "$W/store"
  send "fresh$SFX" "$DATA/A.bin" "$W/A.list"
  send "known$SFX" "$DATA/A.bin" "$W/A2.list"
  send "warm$SFX" "$DATA/B.bin" "$W/B.list"
  cmp -s "$W/A.list" "$W/A2.list" || { echo "bench/run.sh: the second send of A gave other records" >&2; exit 1; }
  read -r rss table < <(memory_sample "$SERVER_PID")
  record "rss$SFX" "$rss"
  record "table$SFX" "$table"
  send "v1$SFX" "$DATA/v1.tar" "$W/v1.list"
  send "v2$SFX" "$DATA/v2.tar" "$W/v2.list"
  stop_server

  # Rebuild at start-up, the store in the page cache.
  store_bytes=$(size_of "$W/store/\$dump")
  t0=$(now_ns)
  start_server "$W/store"
  t1=$(now_ns)
  stop_server
  record "rebuild$SFX" "$(mbps "$store_bytes" $((t1 - t0)))"
  record "rebuild_s$SFX" "$(awk -v ns=$((t1 - t0)) 'BEGIN {printf "%.2f", ns / 1e9}')"

  # chunkpack with every record literal (the older list is empty), and the
  # versioned pair.
  t0=$(now_ns)
  "$B/chunkpack" "$W/store/\$dump" "$W/empty.list" "$W/A.list" "$W/A.pack"
  t1=$(now_ns)
  record "pack$SFX" "$(mbps "$(size_of "$W/A.pack")" $((t1 - t0)))"
  rm -f "$W/A.pack"
  t0=$(now_ns)
  "$B/chunkpack" "$W/store/\$dump" "$W/v1.list" "$W/v2.list" "$W/v2.pack"
  t1=$(now_ns)
  record "packv$SFX" "$(mbps "$(size_of "$DATA/v2.tar")" $((t1 - t0)))"
  record "packv_bytes$SFX" "$(size_of "$W/v2.pack")"

  # chunkcat, verified and not.
  t0=$(now_ns)
  "$B/chunkcat" "$W/store/\$dump" "$W/A.list" > /dev/null
  t1=$(now_ns)
  record "cat$SFX" "$(mbps "$(size_of "$DATA/A.bin")" $((t1 - t0)))"
  t0=$(now_ns)
  "$B/chunkcat" --no-verify "$W/store/\$dump" "$W/A.list" > /dev/null
  t1=$(now_ns)
  record "catnv$SFX" "$(mbps "$(size_of "$DATA/A.bin")" $((t1 - t0)))"
  # Restored into a file (synced and renamed): what a copy that writes
  # its bytes out should be compared with as well.
  sync
  t0=$(now_ns)
  "$B/chunkcat" -o "$W/A.restored" "$W/store/\$dump" "$W/A.list"
  t1=$(now_ns)
  record "catfile$SFX" "$(mbps "$(size_of "$DATA/A.bin")" $((t1 - t0)))"
  rm -f "$W/A.restored"

  # chunkcopy of the first 512 MiB's list into a new store (every chunk
  # verified, copied, the store and list synced), MB/s of the list's bytes
  # as for chunkcat. A baseline older than chunkcopy has no such row.
  if [ -x "$B/chunkcopy" ]; then
    rm -rf "$W/copy" && mkdir -p "$W/copy"
    sync
    t0=$(now_ns)
    "$B/chunkcopy" -q "$W/store/\$dump" "$W/copy/new.dump" -o "$W/copy" "$W/A.list"
    t1=$(now_ns)
    record "copy$SFX" "$(mbps "$(size_of "$DATA/A.bin")" $((t1 - t0)))"
    rm -rf "$W/copy"
  fi

  # Versions: a store folder with four of them (A twice, as an unchanged
  # backup is stored again, then the versioned pair), checked whole by
  # chunkversions check (the store file and every version) and by chunkcat
  # --check of the same versions; MB/s of the bytes the versions name.
  if [ -x "$B/chunkversions" ]; then
    rm -rf "$W/vstore"
    start_server "$W/vstore"
    for v in a1:A.bin a2:A.bin v1:v1.tar v2:v2.tar; do
      "$B/chunksend" -q --store "$W/vstore" --name "${v%%:*}" "$DATA/${v#*:}"
    done
    stop_server
    vbytes=$(( 2 * $(size_of "$DATA/A.bin") + $(size_of "$DATA/v1.tar") + $(size_of "$DATA/v2.tar") ))
    t0=$(now_ns)
    "$B/chunkversions" check -q "$W/vstore" > /dev/null
    t1=$(now_ns)
    record "vcheck$SFX" "$(mbps "$vbytes" $((t1 - t0)))"
    t0=$(now_ns)
    "$B/chunkcat" --check -q "$W/vstore" a1 a2 v1 v2 > /dev/null
    t1=$(now_ns)
    record "vcat$SFX" "$(mbps "$vbytes" $((t1 - t0)))"
    record "vcheck_x$SFX" "$(awk -v a="$(tail -1 "$RES/vcheck$SFX")" -v b="$(tail -1 "$RES/vcat$SFX")" 'BEGIN {printf "%.3f", a / b}')"
    rm -rf "$W/vstore"
  fi
}

# What bounds a fresh store, and the other tools, on the same 512 MiB: the
# bytes written into fresh page-cache pages and synced (dd), and a first
# backup into a fresh repository by restic and by borg where they are
# installed (no compression for either, as the store keeps bytes as they are;
# borg unencrypted, restic encrypts always). This tree's build only.
others_rows() {
  local t0 t1
  rm -f "$W/dd.out"
  sync
  t0=$(now_ns)
  dd if="$DATA/A.bin" of="$W/dd.out" bs=1M conv=fdatasync status=none
  t1=$(now_ns)
  record ddsync "$(mbps "$(size_of "$DATA/A.bin")" $((t1 - t0)))"
  rm -f "$W/dd.out"
  if command -v restic > /dev/null; then
    rm -rf "$W/restic"
    RESTIC_PASSWORD=bench restic init -q --repo "$W/restic" > /dev/null
    t0=$(now_ns)
    RESTIC_PASSWORD=bench restic backup -q --no-cache --compression off --repo "$W/restic" "$DATA/A.bin" > /dev/null
    t1=$(now_ns)
    record restic "$(mbps "$(size_of "$DATA/A.bin")" $((t1 - t0)))"
    rm -rf "$W/restic"
  fi
  if command -v borg > /dev/null; then
    rm -rf "$W/borg"
    BORG_UNKNOWN_UNENCRYPTED_REPO_ACCESS_IS_OK=yes borg init -e none "$W/borg" > /dev/null 2>&1
    t0=$(now_ns)
    BORG_UNKNOWN_UNENCRYPTED_REPO_ACCESS_IS_OK=yes borg create --compression none "$W/borg::a" "$DATA/A.bin" > /dev/null 2>&1
    t1=$(now_ns)
    record borg "$(mbps "$(size_of "$DATA/A.bin")" $((t1 - t0)))"
    rm -rf "$W/borg"
  fi
}

# The rows compared with the baseline, and their labels.
BASE_ROWS="dwarm_sync dwarm_nosync dknown_sync dknown_nosync dsmall_sync dsmall_nosync
fresh known warm v1 v2 rebuild pack packv cat catnv catfile copy"
base_label() {
  case "$1" in
    dwarm_sync) echo "512 MiB unique, warm server, durable" ;;
    dwarm_nosync) echo "512 MiB unique, warm server, --no-sync" ;;
    dknown_sync) echo "the same again (all known), durable" ;;
    dknown_nosync) echo "the same again (all known), --no-sync" ;;
    dsmall_sync) echo "10,000 files of 4 KiB, durable" ;;
    dsmall_nosync) echo "10,000 files of 4 KiB, --no-sync" ;;
    fresh) echo "chunksend 512 MiB unique into a fresh server" ;;
    known) echo "chunksend the same 512 MiB again (all known)" ;;
    warm) echo "chunksend another 512 MiB unique, warm server" ;;
    v1) echo "chunksend v1.tar" ;;
    v2) echo "chunksend v2.tar (after v1)" ;;
    rebuild) echo "rebuild at start-up" ;;
    pack) echo "chunkpack, every record literal" ;;
    packv) echo "chunkpack v1.tar -> v2.tar" ;;
    cat) echo "chunkcat verified" ;;
    catnv) echo "chunkcat --no-verify" ;;
    catfile) echo "chunkcat verified -o FILE (synced)" ;;
    copy) echo "chunkcopy of that list into a new store" ;;
  esac
}
# The ratio new / baseline of every row this repetition measured with both.
lines_of() { if [ -s "$RES/$1" ]; then wc -l < "$RES/$1"; else echo 0; fi; }
record_base_ratios() {
  local name
  for name in $BASE_ROWS; do
    if [ "$(lines_of "$name")" != "$run" ] || [ "$(lines_of "${name}_base")" != "$run" ]; then continue; fi
    [ "$(lines_of "${name}_bx")" -lt "$run" ] || continue
    record "${name}_bx" "$(awk -v a="$(tail -1 "$RES/$name")" -v b="$(tail -1 "$RES/${name}_base")" \
      'BEGIN {printf "%.3f", a / b}')"
  done
}

echo "bench: $RUNS run(s), data in $DATA${BASE_DIR:+, baseline $BASE_NAME}" >&2
: > "$W/empty.list"
for run in $(seq 1 "$RUNS"); do
  echo "run $run of $RUNS" >&2
  B=$NEW_B

  # MD5 and memcpy: the yardsticks, measured in every repetition.
  md5=$(openssl speed -evp md5 -bytes 8192 -seconds 3 -mr 2> /dev/null | awk -F: '/^\+F:/ {print $4}')
  record md5 "$(awk -v b="$md5" 'BEGIN {printf "%.1f", b / 1e6}')"
  record memcpy "$("$B/memcpy_bench" | sed -n 's/^memcpy: \([0-9.]*\) MB\/s.*/\1/p')"

  for b in $(build_order); do
    use_build "$b"
    durable_rows
  done
  use_build new
  if [ "$ONLY" = durable ]; then record_base_ratios; continue; fi

  if [ "$ONLY" != e2e ]; then
    # In-process chunk + digest.
    (cd "$W" && "$B/chunker_bench") > "$W/chunker_bench.out"
    # The widest vector width the machine has comes last.
    inproc_line=$(grep -E '^[a-z0-9]+: chunk\+digest\+index unique ' "$W/chunker_bench.out" | tail -1)
    linux_inproc=$(sed -n 's/^[a-z0-9]*: chunk+digest+index unique  *\([0-9.]*\) .*/\1/p' <<< "$inproc_line")
    widest=${inproc_line%%:*}
    record inproc "$linux_inproc"
    # The same figure of the other builds, at the same width, as a ratio to
    # the Linux one of this repetition.
    other_inproc() {  # other_inproc NAME COMMAND...
      local name=$1 v
      shift
      (cd "$W" && CHUNK_BENCH_WIDTH=$widest "$@") > "$W/chunker_bench_$name.out" 2>&1 || true
      v=$(sed -n "s/^$widest: chunk+digest+index unique  *\([0-9.]*\) .*/\1/p" "$W/chunker_bench_$name.out")
      if [ -z "$v" ]; then
        echo "bench/run.sh: no $widest figure from the $name build:" >&2
        tail -5 "$W/chunker_bench_$name.out" >&2
        return 0
      fi
      record "inproc_$name" "$v"
      record "inproc_${name}_x" "$(awk -v a="$v" -v b="$linux_inproc" 'BEGIN {printf "%.3f", a / b}')"
    }
    # shellcheck disable=SC2086  # the commands are words
    if [ -n "$WIN64" ]; then other_inproc win64 $WIN64; fi
    # shellcheck disable=SC2086
    if [ -n "$I686" ]; then other_inproc i686 $I686; fi
  fi

  # End to end over loopback.
  for b in $(build_order); do
    use_build "$b"
    e2e_rows
  done
  use_build new
  others_rows
  record_base_ratios
done

# ---- Table ------------------------------------------------------------------

MD5=$(median md5)
row() {  # row LABEL NAME TARGET
  local v
  v=$(median "$2")
  if [ -z "$v" ]; then
    printf '| %-52s | %9s | %6s | %6s | %-7s |\n' "$1" - - "$3" -
    return
  fi
  awk -v label="$1" -v v="$v" -v md5="$MD5" -v target="$3" 'BEGIN {
    r = v / md5
    if (target == "-") { t = "-"; met = "-" } else { t = sprintf("%.2f", target); met = (r >= target) ? "met" : "NOT met" }
    printf "| %-52s | %9.1f | %6.2f | %6s | %-7s |\n", label, v, r, t, met }'
}
durable_row() {  # durable_row LABEL NAME TARGET: syncing on against --no-sync
  awk -v label="$1" -v s="$(median "d$2_sync")" -v n="$(median "d$2_nosync")" -v md5="$MD5" \
      -v r="$(median "d$2_x")" -v all="$(tr '\n' ' ' < "$RES/d$2_x")" -v target="$3" 'BEGIN {
    printf "| %-48s | %8.1f | %5.2f | %8.1f | %5.2f | %5.2f | %6.2f | %-7s | %s\n", label, s, s / md5,
           n, n / md5, r, target, (r >= target) ? "met" : "NOT met", all }'
}
echo
echo "Durable records (chunkstore) against chunkstore --no-sync, medians of $RUNS run(s); the"
echo "ratio is the median of each repetition's durable / no-sync (each one listed at the end):"
echo "| figure                                           |  durable | x MD5 |  no-sync | x MD5 | ratio | target | met     |"
echo "|--------------------------------------------------|----------|-------|----------|-------|-------|--------|---------|"
durable_row "chunksend 512 MiB unique, warm server" warm 0.85
durable_row "chunksend 10,000 files of 4 KiB, one connection" small 0.70
durable_row "chunksend the same 512 MiB again (all known)" known 0.95
awk -v s="$(median dlat_sync)" -v smax="$(median dlatmax_sync)" -v n="$(median dlat_nosync)" \
    -v nmax="$(median dlatmax_nosync)" 'BEGIN {
  printf "last records after the last byte (256 KiB files, one at a time; ms, median and max of 20):\n"
  printf "  durable %.1f (max %.1f), no-sync %.1f (max %.1f); target: within 50 ms: %s\n", s, smax, n,
         nmax, (smax <= 50) ? "met" : "NOT met" }'
# The rows measured with both builds: each build's median, and the median
# of the repetitions' ratios new / baseline with every ratio.
baseline_table() {
  [ -n "$BASE_DIR" ] || return 0
  echo
  echo "This tree against the baseline $BASE_NAME, built beside it and run alternately in the same"
  echo "repetitions; medians of $RUNS run(s); new/base is the median of each repetition's ratio:"
  echo "| figure                                        |     new |  x MD5 |    base |  x MD5 | new/base | each"
  echo "|-----------------------------------------------|---------|--------|---------|--------|----------|------"
  local name
  for name in $BASE_ROWS; do
    [ -s "$RES/${name}_bx" ] || continue
    awk -v label="$(base_label "$name")" -v n="$(median "$name")" -v b="$(median "${name}_base")" \
        -v md5="$MD5" -v r="$(median "${name}_bx")" -v all="$(tr '\n' ' ' < "$RES/${name}_bx")" 'BEGIN {
      printf "| %-45s | %7.1f | %6.2f | %7.1f | %6.2f | %8.2f | %s\n", label, n, n / md5, b, b / md5, r, all }'
  done
}
if [ "$ONLY" = durable ]; then baseline_table; exit 0; fi
echo
echo "Medians of $RUNS run(s); MD5 = openssl speed -evp md5 -bytes 8192 -seconds 3 -mr, same run"
echo "| figure                                               |      MB/s |  x MD5 | target | met     |"
echo "|------------------------------------------------------|-----------|--------|--------|---------|"
row "MD5 (openssl, one core)" md5 -
row "memcpy (64 MiB, warm)" memcpy -
row "chunker_bench chunk + digest, in-process" inproc 1.6
row "chunksend 512 MiB unique into a fresh server" fresh 0.5
row "chunksend the same 512 MiB again (all known)" known 0.8
row "chunksend another 512 MiB unique, warm server" warm 0.6
row "rebuild at start-up ($(median rebuild_s) s, store in page cache)" rebuild 1.0
row "chunkpack, every record literal (pack output)" pack 3.0
row "chunkcat verified" cat 1.0
row "chunkcat --no-verify" catnv -
row "chunkcat verified -o FILE (synced)" catfile -
row "chunkcopy of that list into a new store (synced)" copy 1.0
row "chunkpack v1.tar -> v2.tar ($(median packv_bytes) pack bytes)" packv -
echo
echo "In-process chunk + digest + index (chunker_bench, unique data, width ${widest:-?}) of the other"
echo "builds, medians of the ratios to the Linux x86-64 figure of the same repetition:"
echo "| build                                                  |      MB/s | x Linux | target | met     |"
echo "|--------------------------------------------------------|-----------|---------|--------|---------|"
other_row() {  # other_row LABEL NAME TARGET
  local v x
  v=$(median "inproc_$2")
  x=$(median "inproc_$2_x")
  if [ -z "$v" ]; then
    printf '| %-54s | %9s | %7s | %6.2f | %-7s |\n' "$1" "-" "-" "$3" "-"
    return
  fi
  awk -v label="$1" -v v="$v" -v x="$x" -v target="$3" 'BEGIN {
    printf "| %-54s | %9.1f | %7.2f | %6.2f | %-7s |\n", label, v, x, target, (x >= target) ? "met" : "NOT met" }'
}
printf '| %-54s | %9.1f | %7.2f | %6s | %-7s |\n' "Linux x86-64 (the reference)" "$(median inproc)" 1 - -
if [ -n "$WIN64" ]; then
  other_row "Windows x86-64 under $(/usr/lib/wine/wine64 --version | cut -d" " -f1)" win64 0.9
else
  other_row "Windows x86-64: not measured (no mingw-w64 or Wine)" win64 0.9
fi
other_row "i686: $I686_HOW" i686 0.5
awk -v rss="$(median rss)" -v table="$(median table)" 'BEGIN {
  over = rss - table
  printf "\nserver resident memory after 1 GiB unique: %.1f MiB, of it index table %.1f MiB;\n", rss, table
  printf "the rest %.1f MiB (target: at most 64 MiB): %s\n", over, (over <= 64) ? "met" : "NOT met" }'
awk -v c="$(median copy)" -v v="$(median cat)" 'BEGIN {
  printf "chunkcopy / chunkcat verified: %.2f (target: at least 1)\n", c / v }'
awk -v c="$(median copy)" -v v="$(median catfile)" 'BEGIN {
  printf "chunkcopy / chunkcat verified -o FILE: %.2f (both write their bytes and sync)\n", c / v }'
if [ -s "$RES/vcheck" ]; then
  echo
  echo "Whole-store check of four versions (A twice, v1.tar, v2.tar), MB/s of the bytes they name:"
  echo "| figure                                               |      MB/s |  x MD5 | target | met     |"
  echo "|------------------------------------------------------|-----------|--------|--------|---------|"
  row "chunkversions check (the store file and every version)" vcheck -
  row "chunkcat --check of the same versions" vcat -
  echo "chunkversions check / chunkcat --check: $(median vcheck_x) (median of each repetition's ratio; target: at least 1)"
fi
echo
echo "The same 512 MiB elsewhere in the same run: what a fresh store is bound by, and other tools:"
echo "| figure                                               |      MB/s |  x MD5 | fresh / it |"
echo "|------------------------------------------------------|-----------|--------|------------|"
other_tool_row() {  # other_tool_row LABEL NAME
  local v
  v=$(median "$2")
  [ -n "$v" ] || { printf '| %-52s | %9s | %6s | %10s |\n' "$1" - - -; return; }
  awk -v label="$1" -v v="$v" -v md5="$MD5" -v f="$(median fresh)" 'BEGIN {
    printf "| %-52s | %9.1f | %6.2f | %10.2f |\n", label, v, v / md5, f / v }'
}
other_tool_row "dd into a new file, conv=fdatasync (fresh pages)" ddsync
other_tool_row "restic backup, fresh repository (not installed: -)" restic
other_tool_row "borg create, fresh repository (not installed: -)" borg
echo "index table, $("$B/first_touch_bench" | tr '\n' ';' | sed 's/;$//')"
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
baseline_table
# Mirrors (bench/mirror.sh): publish against dd, pull over HTTP against chunkcat --check.
"$ROOT/bench/mirror.sh" -b "$NEW_B" -n "$RUNS" -w "$W" -f "$DATA/A.bin" || echo "bench/run.sh: bench/mirror.sh failed" >&2
