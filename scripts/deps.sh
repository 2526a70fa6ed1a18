#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Usage: scripts/deps.sh [build|test]   the Linux build and its tests
#        scripts/deps.sh windows        the Windows cross build (mingw-w64)
#                                       and the 64-bit Wine to run its programs
#        scripts/deps.sh wine32         the 32-bit Wine (an i386 package) for
#                                       the i686 Windows programs
#        scripts/deps.sh fuzz           clang and libFuzzer for the fuzz targets
#        scripts/deps.sh i686           the Linux i686 build (gcc -m32) and
#                                       qemu-i386-static to run it where the
#                                       kernel cannot (amd64 packages only)
#        scripts/deps.sh bench          restic and borg, which the benchmark
#                                       measures beside chunksend
#        scripts/deps.sh service        the Debian package and the test that
#                                       boots it in a Debian root (cpack's
#                                       dpkg-shlibdeps, debootstrap,
#                                       systemd-nspawn)
#
# Packages are installed without starting their services (openssh-server's
# sshd): the tests start what they need themselves, in namespaces of their own.
#
# Exit status: 0 when every package is installed afterwards; 1 when some are
# still missing: not root, or apt could not install them (each is named on
# stderr with apt's reason). Whether a missing package fails a run is for the
# caller to decide.
#
# The archive can fail for a while (a mirror in the middle of a sync, an
# index "of unexpected size"): every apt step is tried a few times, an index
# that still fails to update does not stop the others from being used, and
# what can be installed is installed.
set -uo pipefail
mode=${1:-test}
case "$mode" in
  windows)
    # Both thread models' compilers come in; the build takes the posix one.
    # googletest: its sources, built for Windows, give the unit tests there.
    want=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-x86-64-dev
          mingw-w64-i686-dev wine wine64 googletest cmake make python3)
    ;;
  wine32)
    want=(wine32:i386)
    ;;
  fuzz)
    want=(clang libclang-rt-14-dev cmake make)
    ;;
  i686)
    # googletest: its sources, built with -m32, give the unit tests there.
    want=(g++-multilib qemu-user-static googletest cmake make python3 iproute2 util-linux mount)
    ;;
  bench)
    want=(restic borgbackup openssl python3 iproute2 util-linux nginx-light)
    ;;
  build)
    # liburing-dev: the server's syncs complete while it goes on (the build
    # falls back to blocking syncs without it).
    # libcurl4-openssl-dev: chunkmirror's pull over http(s) (without it the
    # build still pulls from folders).
    want=(g++ cmake make liburing-dev libcurl4-openssl-dev)
    ;;
  test)
    # iproute2, util-linux and mount: the end-to-end tests run each server in
    # network and mount namespaces of their own (ip, unshare, nsenter, mount).
    # help2man makes the man pages, man-db shows them; openssh-server and
    # openssh-client: the test of a remote client through an SSH tunnel;
    # nginx-light: the web server the mirror tests pull from.
    want=(g++ cmake make liburing-dev libcurl4-openssl-dev libgtest-dev python3 iproute2 util-linux
          mount help2man man-db openssh-server openssh-client nginx-light)
    ;;
  service)
    want=(g++ cmake make libcurl4-openssl-dev help2man dpkg-dev file debootstrap systemd-container
          man-db)
    ;;
  *)
    echo "usage: scripts/deps.sh [build|test|windows|wine32|fuzz|i686|service]" >&2
    exit 2
    ;;
esac

is_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

missing_packages() {
  local p
  for p in "${want[@]}"; do is_installed "$p" || echo "$p"; done
}

mapfile -t missing < <(missing_packages)
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "deps ($mode): missing packages: ${missing[*]}; this script installs them when" \
       "run as root (or install them yourself)" >&2
  exit 1
fi

log=$(mktemp)
# No service starts while packages are installed (invoke-rc.d asks this
# script, exit 101: not now), unless the machine has a policy of its own.
policy=/usr/sbin/policy-rc.d
own_policy=0
if [ ! -e $policy ]; then
  printf '#!/bin/sh\nexit 101\n' > $policy
  chmod 755 $policy
  own_policy=1
fi
trap 'rm -f "$log"; [ $own_policy = 1 ] && rm -f $policy' EXIT
# Another job may be running apt: wait for its lock rather than fail.
apt_get() {
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 "$@"
}

# Tries "$@" up to four times, 5, 20 and 45 s apart; its output goes to $log.
with_retries() {
  local attempt
  for attempt in 1 2 3 4; do
    if "$@" >"$log" 2>&1; then return 0; fi
    [ $attempt -lt 4 ] && sleep $((attempt * attempt * 5))
  done
  return 1
}

# The 32-bit Wine is a package of the i386 architecture. The architecture is
# added only for it, and taken away again if nothing of it could be
# installed, so that a failing i386 index cannot trouble later apt runs.
added_i386=0
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  added_i386=1
fi

echo "deps ($mode): installing ${missing[*]}"
if ! with_retries apt_get update -q; then
  # Some indexes may have failed while the others were fetched; apt works
  # with what it has. The failures are shown, and the install decides.
  echo "deps ($mode): apt-get update failed for some indexes; going on with the rest:" >&2
  grep -E '^(E|W):' "$log" | head -n 5 >&2
fi

if ! with_retries apt_get install -y -q "${missing[@]}"; then
  # One at a time, so that whatever can be installed is, and each failure
  # is named with its reason (the retries were spent above).
  for p in "${missing[@]}"; do
    is_installed "$p" && continue
    if ! apt_get install -y -q "$p" >"$log" 2>&1; then
      reason=$(grep -E '^E:|Depends:|Unable to locate' "$log" | head -n 3 | tr '\n' ' ')
      echo "deps ($mode): apt could not install $p (${reason:-see apt-get install $p})" >&2
    fi
  done
fi

if [ $added_i386 = 1 ] && ! dpkg-query -W -f='${Architecture}\n' 2>/dev/null | grep -qx i386; then
  dpkg --remove-architecture i386 && apt_get update -q >/dev/null 2>&1
  echo "deps ($mode): nothing of the i386 architecture could be installed; it is removed again" >&2
fi

mapfile -t still < <(missing_packages)
if [ ${#still[@]} -gt 0 ]; then
  echo "deps ($mode): still missing after apt: ${still[*]}" >&2
  exit 1
fi
exit 0
