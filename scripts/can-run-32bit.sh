#!/usr/bin/env bash
# Exits 0 when this machine can run 32-bit x86 Linux programs, 1 when it
# cannot (a kernel or a paravirtual guest without 32-bit user mode answers
# "Exec format error"). It runs the smallest such program there is: an ELF
# file of 93 bytes that only calls exit(0), written here, so that no 32-bit
# library or compiler has to be installed to find out.
#
# CHUNK_NO_32BIT=1 makes it answer "cannot", to try on such a machine the
# way the tests take where 32-bit programs do not run.
set -euo pipefail
[ "${CHUNK_NO_32BIT:-}" = 1 ] && exit 1
probe=$(mktemp)
trap 'rm -f "$probe"' EXIT
python3 - "$probe" <<'PY'
import struct, sys
base, code = 0x08048000, bytes.fromhex("b801000000" "31db" "cd80")  # exit(0) through int 0x80
size = 52 + 32 + len(code)
elf = (b"\x7fELF\x01\x01\x01" + bytes(9) +
       struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, base + 84, 52, 0, 0, 52, 32, 1, 0, 0, 0) +
       struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5, 0x1000) + code)
with open(sys.argv[1], "wb") as f:
    f.write(elf)
PY
chmod +x "$probe"
"$probe" 2>/dev/null
