#!/usr/bin/env bash
# Mirrors: chunkmirror publish and pull against what bounds them, in the
# same run. A store of one version (FILE, or SIZE MiB of AES-CTR keystream)
# is published into a fresh folder (against dd of the same bytes with
# conv=fdatasync) and pulled over HTTP from a local nginx into a fresh
# mirror (against chunkcat --check of the same version, which reads and
# digests the same bytes); every figure also as a ratio to MD5 (openssl,
# one core) of the same repetition. Medians of RUNS repetitions.
#
#   bench/mirror.sh -b BUILDDIR [-n RUNS] [-w WORKDIR] [-f FILE | -s SIZE_MIB]
#
# It runs in a network namespace of its own (re-executing itself under
# `unshare -n`, as root): its chunkstore on port 8888 and its nginx meet
# nothing else. Both are stopped by process id.
set -euo pipefail

B=
RUNS=3
W=
FILE=
SIZE=512
while [ $# -gt 0 ]; do
  case "$1" in
    -b) B=$2; shift 2 ;;
    -n) RUNS=$2; shift 2 ;;
    -w) W=$2; shift 2 ;;
    -f) FILE=$2; shift 2 ;;
    -s) SIZE=$2; shift 2 ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
    *) echo "bench/mirror.sh: unknown argument $1" >&2; exit 1 ;;
  esac
done
[ -n "$B" ] && [ -x "$B/chunkmirror" ] || { echo "bench/mirror.sh: -b BUILDDIR with chunkmirror" >&2; exit 1; }
B=$(cd "$B" && pwd)
NGINX=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$NGINX" ] || { echo "bench/mirror.sh: no nginx (scripts/deps.sh bench installs it)" >&2; exit 1; }
if [ -z "${CHUNK_MIRROR_BENCH_IN_NETNS:-}" ]; then
  exec env CHUNK_MIRROR_BENCH_IN_NETNS=1 unshare -n -- bash -c 'ip link set lo up && exec "$@"' \
    bash "$0" -b "$B" -n "$RUNS" ${W:+-w "$W"} ${FILE:+-f "$FILE"} -s "$SIZE"
fi
W=${W:-$(mktemp -d)}/mirror-bench
rm -rf "$W"
mkdir -p "$W/res" "$W/nginx"
RES=$W/res

now_ns() { date +%s%N; }
record() { echo "$2" >> "$RES/$1"; }
median() {
  sort -g "$RES/$1" | awk '{v[NR] = $1} END {if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}
mbps() { awk -v b="$1" -v ns="$2" 'BEGIN {printf "%.1f", b / 1e6 / (ns / 1e9)}'; }

SERVER_PID= NGINX_PID=
cleanup() {
  for p in $SERVER_PID $NGINX_PID; do kill "$p" 2> /dev/null || true; wait "$p" 2> /dev/null || true; done
  rm -rf "$W"
}
trap cleanup EXIT

# The master: one version in a store folder, its server stopped again.
if [ -z "$FILE" ]; then
  FILE=$W/data.bin
  openssl enc -aes-128-ctr -nosalt -K 000102030405060708090a0b0c0d0e0f \
    -iv 00000000000000000000000000000000 < /dev/zero 2> /dev/null | head -c $((SIZE << 20)) > "$FILE" || true
fi
mkdir "$W/store"
(cd "$W/store" && exec "$B/chunkstore" > "$W/server.log" 2> "$W/server.err") &
SERVER_PID=$!
until grep -qs '^chunkstore: listening on' "$W/server.err"; do
  kill -0 $SERVER_PID 2> /dev/null || { cat "$W/server.err" >&2; exit 1; }
  sleep 0.01
done
"$B/chunksend" -q --store "$W/store" --name v1 "$FILE"
"$B/chunkstop" --wait 30 > /dev/null 2>&1 || true
wait $SERVER_PID 2> /dev/null || true
SERVER_PID=
STORE_BYTES=$(stat -c %s "$W/store/\$dump")

cat > "$W/nginx/nginx.conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
pid $W/nginx/nginx.pid;
error_log $W/nginx/error.log;
events { worker_connections 64; }
http {
  access_log off;
  sendfile on;
  client_body_temp_path $W/nginx/body;
  proxy_temp_path $W/nginx/proxy;
  fastcgi_temp_path $W/nginx/fastcgi;
  uwsgi_temp_path $W/nginx/uwsgi;
  scgi_temp_path $W/nginx/scgi;
  default_type application/octet-stream;
  server { listen 127.0.0.1:8080; root $W; }
}
EOF
"$NGINX" -p "$W/nginx" -c "$W/nginx/nginx.conf" 2> /dev/null &
NGINX_PID=$!
until (exec 3<> /dev/tcp/127.0.0.1/8080) 2> /dev/null; do
  kill -0 $NGINX_PID 2> /dev/null || { echo "bench/mirror.sh: nginx did not start" >&2; exit 1; }
  sleep 0.01
done

timed() {  # timed NAME COMMAND...: MB/s of the store's bytes
  local name=$1 t0 t1
  shift
  t0=$(now_ns)
  "$@" > /dev/null
  t1=$(now_ns)
  record "$name" "$(mbps "$STORE_BYTES" $((t1 - t0)))"
}
for run in $(seq 1 "$RUNS"); do
  echo "mirror bench: run $run of $RUNS" >&2
  md5=$(openssl speed -evp md5 -bytes 8192 -seconds 3 -mr 2> /dev/null | awk -F: '/^\+F:/ {print $4}')
  record md5 "$(awk -v b="$md5" 'BEGIN {printf "%.1f", b / 1e6}')"
  rm -rf "$W/pub" "$W/mirror" "$W/dd.out"
  timed publish "$B/chunkmirror" publish -q "$W/store" "$W/pub"
  timed dd dd if="$W/store/\$dump" of="$W/dd.out" bs=1M conv=fdatasync status=none
  rm -f "$W/dd.out"
  timed pull "$B/chunkmirror" pull -q http://127.0.0.1:8080/pub "$W/mirror"
  cmp "$W/mirror/\$dump" "$W/store/\$dump"
  timed check "$B/chunkcat" --check -q "$W/store" v1
  for pair in "publish dd" "pull check"; do
    set -- $pair
    record "$1_x" "$(awk -v a="$(tail -1 "$RES/$1")" -v b="$(tail -1 "$RES/$2")" 'BEGIN {printf "%.3f", a / b}')"
  done
done

MD5=$(median md5)
echo
echo "Mirrors, $((STORE_BYTES >> 20)) MiB store of one version (page cache warm), medians of $RUNS run(s):"
echo "| figure                                               |      MB/s |  x MD5 | ratio | target | met     |"
echo "|------------------------------------------------------|-----------|--------|-------|--------|---------|"
row() {  # row LABEL NAME [RATIO TARGET]
  awk -v label="$1" -v v="$(median "$2")" -v md5="$MD5" -v r="${3:+$(median "$3")}" -v t="${4:-}" 'BEGIN {
    met = (r == "") ? "-" : (r >= t) ? "met" : "NOT met"
    printf "| %-52s | %9.1f | %6.2f | %5s | %6s | %-7s |\n", label, v, v / md5, r == "" ? "-" : r, t == "" ? "-" : t, met }'
}
row "MD5 (openssl, one core)" md5
row "chunkmirror publish into a fresh folder" publish publish_x 0.8
row "dd of the same bytes, conv=fdatasync" dd
row "chunkmirror pull over HTTP (local nginx)" pull pull_x 0.8
row "chunkcat --check of the same version" check
echo "ratio: publish / dd and pull / chunkcat --check, medians of each repetition's ratio"
