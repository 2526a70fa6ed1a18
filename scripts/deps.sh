#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Usage: scripts/deps.sh [build|test]   the Linux build and its tests
#        scripts/deps.sh windows        the Windows cross build (mingw-w64)
#                                       and Wine to run its programs, both the
#                                       64-bit and the 32-bit (i386) Wine
#        scripts/deps.sh fuzz           clang and libFuzzer for the fuzz targets
#        scripts/deps.sh i686           the Linux i686 build (gcc -m32) and
#                                       qemu-i386-static to run it where the
#                                       kernel cannot (amd64 packages only)
# Exits 1 without installing anything when packages are missing and it does
# not run as root.
set -euo pipefail
case "${1:-test}" in
  windows)
    # Both thread models' compilers come in; the build takes the posix one.
    # googletest: its sources, built for Windows, give the unit tests there.
    want=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-x86-64-dev
          mingw-w64-i686-dev wine wine64 wine32:i386 googletest cmake make python3)
    # With Wine's recommends, as on the machines the Windows leg was tried on.
    apt_opts=()
    ;;
  fuzz)
    want=(clang libclang-rt-14-dev cmake make)
    apt_opts=()
    ;;
  i686)
    # googletest: its sources, built with -m32, give the unit tests there.
    want=(g++-multilib qemu-user-static googletest cmake make python3 iproute2 util-linux)
    apt_opts=()
    ;;
  *)
    want=(g++ cmake make libgtest-dev python3)
    apt_opts=()
    ;;
esac
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]}; run as root or install them" >&2
    exit 1
  fi
  echo "installing: ${missing[*]}"
  # Another job may be running apt: wait for its lock rather than fail.
  lock=(-o DPkg::Lock::Timeout=900)
  # The 32-bit Wine is a package of the i386 architecture.
  for p in "${missing[@]}"; do
    if [[ $p == *:i386 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
      dpkg --add-architecture i386
      break
    fi
  done
  apt-get "${lock[@]}" update -qq
  DEBIAN_FRONTEND=noninteractive apt-get "${lock[@]}" install -y -qq "${apt_opts[@]}" "${missing[@]}" >/dev/null
fi
