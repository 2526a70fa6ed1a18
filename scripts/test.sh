#!/usr/bin/env bash
# Builds everything and runs every test: the unit and end-to-end tests of the
# normal build, the same again under AddressSanitizer and
# UndefinedBehaviorSanitizer, the Debian package installed and booted in a
# Debian root under systemd (scripts/test-service.sh), the fuzz targets for a minute each, then the
# Windows programs: the x86-64 and the i686 builds, each with its unit and
# end-to-end tests under Wine (64-bit and 32-bit). Where 32-bit x86 programs
# cannot run here, or the 32-bit Wine cannot be installed, the 32-bit code is
# tested through the Linux i686 build instead.
#
# Run as root on a fresh machine: it installs what it needs (scripts/deps.sh).
# Under CI (CI=true) a leg that cannot run fails the run, except the 32-bit
# Wine, which the archive may not serve for a while; every leg ends in a line
# of the summary: PASSED, or SKIPPED with the reason.
set -euo pipefail
cd "$(dirname "$0")/.."
ci=0; [ "${CI:-}" = true ] && ci=1
# Under CI every build treats a compiler warning as an error.
werror=-DCHUNK_WERROR=OFF; [ $ci = 1 ] && werror=-DCHUNK_WERROR=ON

summary=()
note() { summary+=("$1"); echo "== $1" >&2; }
print_summary() {
  local status=$?
  echo "" >&2
  echo "==== test summary" >&2
  local line
  for line in "${summary[@]}"; do echo "  $line" >&2; done
  [ $status -ne 0 ] && echo "  FAILED (status $status) in the leg after the last line above" >&2
  return $status
}
trap print_summary EXIT

# A leg that cannot run: fatal under CI, a SKIPPED line otherwise.
cannot_run() {
  if [ $ci = 1 ]; then
    echo "$1, and CI must not skip it" >&2
    exit 1
  fi
  note "SKIPPED $1"
}

if ! scripts/deps.sh test; then
  echo "the Linux build or its tests lack packages (see above)" >&2
  exit 1
fi

cmake --preset default "$werror"
cmake --build --preset default
ctest --preset default
note "PASSED Linux x86-64: unit and end-to-end tests"

cmake --preset asan "$werror"
cmake --build --preset asan
ctest --preset asan
note "PASSED Linux x86-64 under AddressSanitizer and UBSan: unit and end-to-end tests"

# The Debian package as an administrator meets it: installed into a fresh
# Debian 12 root and booted there under systemd. An archive that cannot serve
# the packages or debootstrap skips the leg, under CI too.
if ! scripts/deps.sh service; then
  note "SKIPPED Debian package and service: its packages could not be installed (see above)"
else
  service_status=0
  service_err=$(mktemp)
  CHUNK_WERROR_FLAG="$werror" scripts/test-service.sh 2>"$service_err" || service_status=$?
  cat "$service_err" >&2
  why=$(grep '^SKIPPED: ' "$service_err" | tail -n 1 | cut -c 10- || true)
  rm -f "$service_err"
  if [ $service_status = 0 ]; then
    note "PASSED Debian package and service: dpkg -i, systemd-analyze verify, two boots under systemd-nspawn, purge"
  elif [ $service_status = 77 ]; then
    note "SKIPPED Debian package and service: $why"
  else
    exit $service_status
  fi
fi

if scripts/deps.sh fuzz; then
  scripts/fuzz.sh 60   # each fuzz target for a minute (clang, libFuzzer)
  note "PASSED fuzz targets, a minute each"
else
  cannot_run "fuzz runs: clang or libFuzzer could not be installed"
fi

# ---- Windows ---------------------------------------------------------------
if ! scripts/deps.sh windows; then
  cannot_run "Windows leg: mingw-w64 or the 64-bit Wine could not be installed"
  exit 0
fi
leg_start=$SECONDS

# Some machines cannot run 32-bit x86 programs at all (a kernel, or a
# paravirtual guest, without 32-bit user mode: "Exec format error"). There
# the 32-bit Wine is of no use, and Wine's 64-bit loader runs the x86-64 leg
# (/usr/bin/wine prefers the 32-bit loader even for 64-bit programs).
run32=0
why32=""
if ! scripts/can-run-32bit.sh; then
  why32="this machine cannot run 32-bit x86 programs"
elif ! scripts/deps.sh wine32; then
  why32="wine32 is not installed (apt could not install it; see above)"
elif ! /usr/lib/wine/wine --version > /dev/null 2>&1; then
  why32="wine32 is installed but its loader does not start"
else
  run32=1
fi
runner=wine
if [ $run32 = 0 ]; then
  runner=/usr/lib/wine/wine64
  export WINELOADER=$runner
  echo "!!! Windows i686 programs: $why32; they are built but not run under Wine," \
       "and the 32-bit code is tested through the Linux i686 build instead" >&2
fi

# Both builds run their tests under Wine: the unit tests too, so that the
# Windows platform layer and fiber switching are tested in both widths.
cmake --preset win32 -DCHUNK_E2E_RUNNER="$runner" "$werror"
cmake --build --preset win32

cmake --preset win64 -DCHUNK_E2E_RUNNER="$runner" "$werror"
cmake --build --preset win64

# A prefix of our own, so that no user's Wine setup leaks in. A 64-bit
# prefix runs the i686 programs too (its syswow64 holds the 32-bit Wine), so
# both legs share one prefix and one wineserver. Its first start takes
# several seconds; the wineserver kept alive for the whole run makes every
# later program start quick.
export WINEPREFIX="$PWD/build-wine/prefix" WINEDEBUG=-all WINEARCH=win64
mkdir -p "$WINEPREFIX"
trap 'wineserver -k 2>/dev/null || true; print_summary' EXIT
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
note "PASSED Windows x86-64 under Wine: unit and end-to-end tests" \
     "($((win64_done - wineboot_done)) s; builds and Wine start-up $((wineboot_done - leg_start)) s)"
if [ $run32 = 1 ]; then
  ctest --preset win32
  note "PASSED Windows i686 under 32-bit Wine: unit and end-to-end tests ($((SECONDS - win64_done)) s)"
else
  note "SKIPPED Windows i686 under Wine: $why32"
fi
wineserver -k
trap print_summary EXIT
# The width tests print which vector widths ran (ctest shows a test's output
# only when it fails).
for b in build-win64 build-win32; do
  log=$b/Testing/Temporary/LastTest.log
  if [ -f "$log" ] && grep -q '^\[ widths   \]' "$log"; then
    echo "$b: vector widths of the unit tests under Wine:"
    grep -h '^\[ widths   \]' "$log" | sed 's/^\[ widths   \] /  /' | sort -u
  fi
done

# ---- the 32-bit code where the i686 Windows programs could not run -------
# The Linux i686 build: natively where this machine runs 32-bit programs
# (only the 32-bit Wine was missing), else under qemu-i386-static.
if [ $run32 = 0 ]; then
  how=native
  if ! scripts/can-run-32bit.sh; then how=qemu; fi
  CHUNK_I686_RUN=$how scripts/test-i686-linux.sh
  note "PASSED Linux i686 build ($how): unit and end-to-end tests, instead of the i686 Windows programs"
fi
