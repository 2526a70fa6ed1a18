#!/usr/bin/env bash
# The administrator's test of the Debian package: builds chunkstore_*.deb,
# installs it with dpkg -i into a fresh Debian 12 root made by debootstrap
# (with systemd), checks the unit with systemd-analyze verify, and boots the
# root under its own systemd (systemd-nspawn, in a network namespace of its
# own), where tests/service/admin-check.sh stores and restores a file,
# restarts and stops the service, reboots, finds the store intact, and
# removes and purges the package.
#
# The debootstrap root is made once and kept in $CHUNK_ROOT_CACHE (default
# /var/cache/chunkstore-test); every run works on a copy of it.
#
# Run as root. Exit status: 0 passed; 1 failed; 77 cannot run here: not
# root, debootstrap or systemd-nspawn missing, or the archive cannot serve
# debootstrap (the reason is the last line on stderr).
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
werror=${CHUNK_WERROR_FLAG:--DCHUNK_WERROR=OFF}
cache=${CHUNK_ROOT_CACHE:-/var/cache/chunkstore-test}
suite=bookworm
mirror=${CHUNK_DEBIAN_MIRROR:-http://deb.debian.org/debian}
# liburing2 and libcurl4 (chunkmirror's HTTP client): the libraries the
# package depends on that such a minimal root lacks; dpkg -i installs no
# dependencies (apt install ./chunkstore_*.deb fetches them).
recipe="debootstrap --variant=minbase --include=systemd,systemd-sysv,adduser,liburing2,libcurl4 $suite $mirror"
base=$cache/$suite

cannot_run() { echo "SKIPPED: $1" >&2; exit 77; }
[ "$(id -u)" = 0 ] || cannot_run "not root"
command -v debootstrap >/dev/null || cannot_run "debootstrap is not installed"
command -v systemd-nspawn >/dev/null || cannot_run "systemd-nspawn (systemd-container) is not installed"

# ---- the package -----------------------------------------------------------
cmake --preset package "$werror" >/dev/null
cmake --build --preset package
rm -f build-package/chunkstore_*.deb
(cd build-package && cpack -G DEB >/dev/null)
deb=$(ls build-package/chunkstore_*.deb)
echo "package: $deb ($(dpkg-deb -f "$deb" Depends))"

# ---- the Debian 12 root, made once ----------------------------------------
if [ "$(cat "$base/.chunk-recipe" 2>/dev/null)" != "$recipe" ]; then
  mkdir -p "$cache"
  rm -rf "$base" "$base.tmp"
  echo "making the Debian root: $recipe"
  made=0
  for attempt in 1 2 3; do
    if debootstrap --variant=minbase --include=systemd,systemd-sysv,adduser,liburing2,libcurl4 \
         "$suite" "$base.tmp" "$mirror" >"$cache/debootstrap.log" 2>&1; then
      made=1
      break
    fi
    rm -rf "$base.tmp"
    [ $attempt -lt 3 ] && sleep $((attempt * 20))
  done
  if [ $made = 0 ]; then
    cannot_run "the archive ($mirror) cannot serve debootstrap $suite: $(grep -E '^[EW]:' "$cache/debootstrap.log" | tail -n 1)"
  fi
  echo "$recipe" > "$base.tmp/.chunk-recipe"
  mv "$base.tmp" "$base"
fi

# ---- a copy of it for this run ---------------------------------------------
root=$(mktemp -d /var/tmp/chunk-root.XXXXXX)
trap 'rm -rf "$root"' EXIT
cp -a "$base/." "$root/"
cp "$deb" "$root/root/chunkstore.deb"

echo "== dpkg -i"
chroot "$root" dpkg -i /root/chunkstore.deb
# The package's own files, as dpkg sees them.
chroot "$root" dpkg -s chunkstore | grep -qx 'Status: install ok installed'
chroot "$root" test -x /usr/bin/chunkstore
chroot "$root" test -f /usr/share/man/man1/chunksend.1
chroot "$root" test -f /usr/share/bash-completion/completions/chunkstop

echo "== systemd-analyze verify"
# The unit's man page is checked apart: the root has no man-db to look it up.
man -l "$root/usr/share/man/man1/chunkstore.1" 2>/dev/null | grep -q -- '--listen'
verify=$(chroot "$root" systemd-analyze verify --man=no /usr/lib/systemd/system/chunkstore.service 2>&1) || {
  echo "$verify" >&2
  echo "systemd-analyze verify found faults in chunkstore.service" >&2
  exit 1
}
if [ -n "$verify" ]; then
  echo "$verify" >&2
  echo "systemd-analyze verify had something to say about chunkstore.service" >&2
  exit 1
fi

install -m 755 tests/service/admin-check.sh "$root/usr/local/sbin/chunk-admin-check"
install -m 644 tests/service/chunk-admin-check.service "$root/etc/systemd/system/"
ln -s ../chunk-admin-check.service "$root/etc/systemd/system/multi-user.target.wants/"

echo "== booting the root"
boots=0
while :; do
  boots=$((boots + 1))
  status=0
  timeout 900 systemd-nspawn -q --register=no --keep-unit --private-network -D "$root" --boot \
    > "$root.boot$boots.log" 2>&1 || status=$?
  # 133: the container asked to be rebooted.
  [ $status = 133 ] && [ $boots -lt 3 ] && continue
  break
done
cat "$root/root/check.log" 2>/dev/null || true
result=$(cat "$root/root/check.result" 2>/dev/null || echo "no result")
if [ "$result" != passed ] || [ $status != 0 ] || [ $boots != 2 ]; then
  for log in "$root".boot*.log; do echo "--- $log"; tail -n 60 "$log"; done >&2
  echo "the package checks failed: $result (systemd-nspawn status $status, $boots boots)" >&2
  rm -f "$root".boot*.log
  exit 1
fi
rm -f "$root".boot*.log
echo "the package checks passed in $boots boots"
