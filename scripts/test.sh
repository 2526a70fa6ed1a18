#!/usr/bin/env bash
# Builds everything and runs every test: the unit and end-to-end tests of the
# normal build, the unit and end-to-end tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the Windows programs: the x86-64 and the
# i686 builds, each with its unit and end-to-end tests under Wine (64-bit and
# 32-bit).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
# Under CI every build treats a compiler warning as an error.
werror=-DCHUNK_WERROR=OFF; if [ "${CI:-}" = true ]; then werror=-DCHUNK_WERROR=ON; fi

cmake --preset default "$werror"
cmake --build --preset default
ctest --preset default

cmake --preset asan "$werror"
cmake --build --preset asan
ctest --preset asan

scripts/fuzz.sh 60   # each fuzz target for a minute (clang, libFuzzer)

# ---- Windows ---------------------------------------------------------------
if ! scripts/deps.sh windows; then
  if [ "${CI:-}" = true ]; then
    echo "Windows leg: mingw-w64 or Wine is missing, and CI must not skip it" >&2
    exit 1
  fi
  echo "Windows leg SKIPPED: mingw-w64 or Wine is missing; run this script as root to install them" >&2
  exit 0
fi
leg_start=$SECONDS

# Some machines cannot run 32-bit x86 programs at all (a kernel, or a
# paravirtual guest, without 32-bit user mode: "Exec format error"). Wine's
# 32-bit loader then fails, and so does /usr/bin/wine, which prefers it even
# for 64-bit programs. There the 64-bit loader runs the x86-64 leg, and the
# i686 programs are built but cannot be tested.
runner=wine
run32=1
if ! /usr/lib/wine/wine --version > /dev/null 2>&1; then
  runner=/usr/lib/wine/wine64
  run32=0
  export WINELOADER=$runner
  echo "Windows leg: this machine cannot run 32-bit x86 programs (Wine's 32-bit loader" \
       "does not start); the i686 build is built, its tests are SKIPPED" >&2
fi

# Both builds run their tests under Wine: the unit tests too, so that the
# Windows platform layer and fiber switching are tested in both widths.
cmake --preset win32 -DCHUNK_E2E_RUNNER="$runner" "$werror"
cmake --build --preset win32

cmake --preset win64 -DCHUNK_E2E_RUNNER="$runner" "$werror"
cmake --build --preset win64

# A prefix of our own, so that no user's Wine setup leaks in. A 64-bit
# prefix runs the i686 programs too (its syswow64 holds the 32-bit Wine, which
# scripts/deps.sh installs), so both legs share one prefix and one wineserver.
# Its first start takes several seconds; the wineserver kept alive for the
# whole run makes every later program start quick.
export WINEPREFIX="$PWD/build-wine/prefix" WINEDEBUG=-all WINEARCH=win64
mkdir -p "$WINEPREFIX"
trap 'wineserver -k 2>/dev/null || true' EXIT
wineserver -p
# Booting starts Wine's background services now, with their output in a log:
# started later by a test's program, they would inherit its output pipes and
# keep them open after the program ends.
if ! timeout 300 "$runner" wineboot -i </dev/null >build-wine/wineboot.log 2>&1; then
  cat build-wine/wineboot.log >&2
  echo "Windows leg: Wine does not start" >&2
  exit 1
fi
wineboot_done=$SECONDS
ctest --preset win64
win64_done=$SECONDS
if [ "$run32" = 1 ]; then
  ctest --preset win32
  i686="i686 tests $((SECONDS - win64_done)) s"
else
  i686="i686 tests SKIPPED: this machine cannot run 32-bit x86 programs"
fi
wineserver -k
trap - EXIT
echo "Windows leg: $((SECONDS - leg_start)) s (builds and Wine start-up $((wineboot_done - leg_start)) s," \
     "x86-64 tests $((win64_done - wineboot_done)) s, $i686)"

# ---- Vector widths under Wine; 32-bit code without 32-bit Wine -------------
# (self-contained; see scripts/test-i686-linux.sh)
for b in build-win64 build-win32; do
  log=$b/Testing/Temporary/LastTest.log
  if [ -f "$log" ] && grep -q '^\[ widths   \]' "$log"; then
    echo "$b: vector widths of the unit tests under Wine:"
    grep -h '^\[ widths   \]' "$log" | sed 's/^\[ widths   \] /  /' | sort -u
  fi
done
if [ "$run32" = 0 ]; then
  echo "32-bit code: no 32-bit Wine here, so the Linux i686 build is tested instead"
  scripts/test-i686-linux.sh
fi
