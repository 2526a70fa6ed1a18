#!/usr/bin/env bash
# Tests the 32-bit x86 code on any x86-64 Linux machine: builds the Linux
# i686 programs (preset linux-i686: gcc -m32) and runs their unit and
# end-to-end tests, natively where the kernel runs 32-bit programs, else
# under qemu-i386-static. Says which it ran, and which vector widths the
# width tests ran (qemu offers AVX2 but no AVX-512).
#
#   scripts/test-i686-linux.sh            native where possible, else qemu
#   CHUNK_I686_RUN=qemu scripts/test-i686-linux.sh     always under qemu
#   CHUNK_I686_RUN=native ...                          never under qemu
#
# Exit status: 0 when every test passed, 1 when one failed or the leg could
# not be set up.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh i686
werror=-DCHUNK_WERROR=OFF; if [ "${CI:-}" = true ]; then werror=-DCHUNK_WERROR=ON; fi
start=$SECONDS

cmake --preset linux-i686 "$werror" -DCHUNK_E2E_RUNNER= > /dev/null
cmake --build --preset linux-i686

# A 32-bit program of the build tells whether this kernel runs them
# ("Exec format error" where it lacks 32-bit user mode).
mode=${CHUNK_I686_RUN:-auto}
if [ "$mode" = auto ]; then
  if build-i686/unit_tests --gtest_list_tests > /dev/null 2>&1; then mode=native; else mode=qemu; fi
fi
case "$mode" in
  native)
    runner=
    expect=host
    how="natively (this kernel runs 32-bit x86 programs)"
    ;;
  qemu)
    runner=$(command -v qemu-i386-static) || { echo "i686 Linux leg: qemu-i386-static is missing" >&2; exit 1; }
    # qemu's x86 emulation has AVX2 from version 7.2 on, and no AVX-512.
    qv=$("$runner" --version | sed -n '1s/.*version \([0-9]*\)\.\([0-9]*\).*/\1 \2/p')
    read -r qmaj qmin <<< "$qv"
    if [ "${qmaj:-0}" -gt 7 ] || { [ "${qmaj:-0}" -eq 7 ] && [ "${qmin:-0}" -ge 2 ]; }; then
      expect="scalar avx2"
    else
      expect=""
    fi
    how="under $runner ($("$runner" --version | head -1); no AVX-512 there)"
    ;;
  *) echo "CHUNK_I686_RUN must be auto, native or qemu, not $mode" >&2; exit 1 ;;
esac
echo "i686 Linux leg: running the tests $how"
cmake --preset linux-i686 "$werror" -DCHUNK_E2E_RUNNER="$runner" \
  -DCHUNK_EXPECT_WIDTHS="${CHUNK_EXPECT_WIDTHS:-$expect}" > /dev/null

status=0
ctest --preset linux-i686 -j2 || status=1
# The width lines of the unit tests (ctest shows a test's output only when
# it fails).
log=build-i686/Testing/Temporary/LastTest.log
widths=$(grep -h '^\[ widths   \]' "$log" | sed 's/^\[ widths   \] /  /' | sort -u || true)
echo "i686 Linux leg: vector widths of the unit tests, $how:"
echo "${widths:-  (no width lines: the unit tests did not run)}"
echo "i686 Linux leg: $((SECONDS - start)) s; unit and end-to-end tests ran $how;" \
     "$([ $status = 0 ] && echo 'all passed' || echo 'FAILURES above')"
exit $status
