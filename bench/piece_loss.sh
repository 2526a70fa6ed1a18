#!/bin/bash
# What sending standard input in pieces costs in deduplication: two versions
# of a real directory tree (version 2 with a line inserted in the middle of
# some files and one appended, a file added, one removed) are stored one
# after the other, once as named tarballs and once through the pipe with
# each piece size given, each time into a fresh server. Prints how much the
# store grew for version 2 each way; the difference is the loss at piece
# ends. Runs as root, in a private network namespace of its own, so port
# 8888 of the machine is never used; needs tar and about three times the
# tree's size in WORKDIR.
#
#   bench/piece_loss.sh [-b BUILD] [-w WORKDIR] TREE [PIECE_MIB...]   (default pieces: 64)
set -euo pipefail
B=$PWD/build
W=
while getopts "b:w:" o; do
  case $o in
    b) B=$(cd "$OPTARG" && pwd) ;;
    w) W=$OPTARG ;;
    *) echo "usage: $0 [-b BUILD] [-w WORKDIR] TREE [PIECE_MIB...]" >&2; exit 1 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -ge 1 ] || { echo "usage: $0 [-b BUILD] [-w WORKDIR] TREE [PIECE_MIB...]" >&2; exit 1; }
TREE=$(cd "$1" && pwd)
shift
PIECES=${*:-64}
if [ "${CHUNK_PIECE_LOSS_NS:-}" != 1 ]; then
  exec env CHUNK_PIECE_LOSS_NS=1 unshare -n -- sh -c 'ip link set lo up && exec "$@"' sh \
    bash "$0" -b "$B" ${W:+-w "$W"} "$TREE" $PIECES
fi
W=${W:-$(mktemp -d /tmp/piece-loss.XXXXXX)}
mkdir -p "$W"
cd "$W"
rm -rf v1 v2 st
mkdir v1 && cp -a "$TREE" v1/t && cp -a v1 v2
changed=0
for f in $(cd v2 && find t -type f -size +2k | sort | awk 'NR % 997 == 1' | head -10); do
  changed=$((changed + 1))
  python3 - "v2/$f" "$changed" <<'PY'
import sys
p, n = sys.argv[1], int(sys.argv[2])
d = open(p, "rb").read()
mid = len(d) // 2
open(p, "wb").write(d[:mid] + b"\n/* changed for version 2, edit %d */\n" % n + d[mid:] +
                    b"\n/* appended */\n")
PY
done
echo "a new file for version 2" > v2/t/NEW-FILE
rm "v2/$(cd v2 && find t -type f | sort | sed -n 100p)"
TAR="tar --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner"
(cd v1 && $TAR -cf ../v1.tar t)
(cd v2 && $TAR -cf ../v2.tar t)
size=$(stat -c %s v2.tar)
echo "$TREE: $changed files changed, one added, one removed; tar of version 2: $size bytes"

SP=
start() {
  rm -rf st && mkdir st
  (cd st && exec "$B/chunkstore" > log 2>&1) &
  SP=$!
  until grep -qs '^chunkstore: listening on' st/log || ! kill -0 "$SP" 2>/dev/null; do sleep 0.1; done
  kill -0 "$SP" 2>/dev/null || { echo "chunkstore did not start: $(cat st/log)" >&2; exit 1; }
}
stop() { "$B/chunkstop" > /dev/null 2>&1; wait "$SP"; }
grew() { sed -n 's/.*"store_grew_by": \([0-9]*\).*/\1/p'; }
send() { "$B/chunksend" -q --json --store "st/\$dump" "$@" | grew; }

start
send -o 1.list v1.tar > /dev/null
named=$(send -o 2.list v2.tar)
stop
echo "both as named tarballs: version 2 grew the store by $named bytes"
for p in $PIECES; do
  start
  (cd v1 && $TAR -cf - t) | send --piece-size "$p" -o 1.list - > /dev/null
  piped=$( (cd v2 && $TAR -cf - t) | send --piece-size "$p" -o 2.list -)
  stop
  cmp <("$B/chunkcat" "st/\$dump" 2.list) v2.tar
  pieces=$(( (size + (p << 20) - 1) / (p << 20) ))
  echo "both through the pipe, $p MiB pieces ($pieces): grew by $piped bytes;" \
       "loss $((piped - named)) bytes, $(( (piped - named) / pieces )) per piece"
done
rm -rf v1 v2 v1.tar v2.tar st
cd / && rmdir "$W" 2> /dev/null || true  # only when it was made empty for this run
