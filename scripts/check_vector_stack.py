#!/usr/bin/env python3
"""Fails when built code moves a 32- or 64-byte vector to or from the stack
with an instruction that needs the address aligned, in a function that does
not align its stack to that width itself.

gcc for Windows x86-64 keeps the stack aligned to the 16 bytes of the ABI
and cannot realign it, yet spills ymm and zmm registers with aligned moves
(vmovdqa, vmovaps, ...): such a move faults whenever the slot lands on an odd
16 bytes. The vector kernels keep their state in aligned records so that no
spill is needed; this check reads the disassembly to show it.

    check_vector_stack.py OBJDUMP FILE...    (object files or archives)
    check_vector_stack.py --self-test CC OBJDUMP 32|64

Prints every offending instruction and a summary; exit status 1 when there
is one, 2 when a file cannot be disassembled. The self-test assembles small
functions with the build's compiler (one spilling with an aligned move, one
aligning its stack first, one spilling with an unaligned move) and checks
that only the first is reported.
"""
import os
import re
import subprocess
import sys
import tempfile

# Moves that fault on an address not aligned to the operand's width (with a
# VEX or EVEX encoding every other instruction takes any address).
ALIGNED = re.compile(r"^(vmovdq[a](32|64)?|vmovap[sd]|vmovntdqa?|vmovntp[sd])$")
STACK = re.compile(r"\(%(rsp|rbp|esp|ebp)[,)]")
# A function aligns its own stack with "and $-N,%rsp" (or %esp).
REALIGN = re.compile(r"^and[lq]?\s+\$0x([0-9a-f]+),%(rsp|esp)$")
FUNCTION = re.compile(r"^[0-9a-f]+ <(.+)>:$")
INSN = re.compile(r"^\s*[0-9a-f]+:\s+(\S+)\s*(.*)$")


def width_of(operands):
    if "%zmm" in operands:
        return 64
    if "%ymm" in operands:
        return 32
    return 0


def check(objdump, path):
    """Returns (offences, aligned moves in realigning functions, functions
    that touch the stack with wide vectors)."""
    out = subprocess.run([objdump, "-d", "--no-show-raw-insn", "-w", path],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if out.returncode != 0:
        sys.stderr.write(out.stderr)
        sys.exit(2)
    offences, covered, wide_functions = [], 0, set()
    fn, realigned, pending = None, 0, []

    def close():
        nonlocal covered
        for width, line in pending:
            if realigned >= width:
                covered += 1
            else:
                offences.append("%s: %s: %s" % (path, fn, line.strip()))

    for line in out.stdout.splitlines():
        m = FUNCTION.match(line)
        if m:
            close()
            fn, realigned, pending = m.group(1), 0, []
            continue
        m = INSN.match(line)
        if not m or fn is None:
            continue
        mnemonic, operands = m.group(1), m.group(2).split("#")[0].strip()
        r = REALIGN.match(mnemonic + " " + operands)
        if r:
            bits = 64 if r.group(2) == "rsp" else 32
            mask = int(r.group(1), 16)
            if mask >> (bits - 1):  # a negative mask: -N keeps N-byte alignment
                realigned = max(realigned, (1 << bits) - mask)
        width = width_of(operands)
        if width and STACK.search(operands):
            wide_functions.add(fn)
            if ALIGNED.match(mnemonic):
                pending.append((width, line))
    close()
    return offences, covered, len(wide_functions)


def self_test(cc, objdump, bits):
    sp, bp = ("%rsp", "%rbp") if bits == "64" else ("%esp", "%ebp")
    cases = {
        # name: (body, offences expected)
        "aligned_spill": ("vmovdqa %%ymm0,0x20(%s)\n vmovdqa64 0x40(%s),%%zmm1" % (sp, bp), 2),
        "realigned": ("push %s\n mov %s,%s\n and $-64,%s\n vmovdqa64 %%zmm0,0x40(%s)\n"
                      " vmovaps %%ymm1,0x20(%s)" % (bp, sp, bp, sp, sp, sp), 0),
        "realigned_too_little": ("and $-32,%s\n vmovdqa64 %%zmm0,0x40(%s)" % (sp, sp), 1),
        "unaligned_spill": ("vmovdqu %%ymm0,0x20(%s)\n vmovdqu64 %%zmm1,0x40(%s)\n"
                            " vmovdqa %%xmm6,0x10(%s)\n vmovdqa64 (%%eax),%%zmm2"
                            % (sp, sp, sp), 0),
    }
    failed = 0
    with tempfile.TemporaryDirectory() as tmp:
        for name, (body, want) in cases.items():
            src, obj = os.path.join(tmp, name + ".s"), os.path.join(tmp, name + ".o")
            with open(src, "w") as f:
                f.write(".text\n.globl %s\n%s:\n %s\n ret\n" % (name, name, body))
            subprocess.run([cc, "-m" + bits, "-c", src, "-o", obj], check=True)
            got = len(check(objdump, obj)[0])
            print("self-test %s: %d offence(s), expected %d" % (name, got, want))
            failed += got != want
    return 1 if failed else 0


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--self-test":
        return self_test(sys.argv[2], sys.argv[3], sys.argv[4])
    if len(sys.argv) < 3:
        sys.stderr.write(__doc__)
        return 2
    objdump, files = sys.argv[1], sys.argv[2:]
    offences, covered, wide = [], 0, 0
    for path in files:
        o, c, w = check(objdump, path)
        offences += o
        covered += c
        wide += w
    for o in offences:
        print("aligned vector move on an unaligned stack: " + o)
    print("check_vector_stack: %d file(s); %d function(s) move ymm/zmm to or from the stack; "
          "%d aligned such move(s) in functions that align their own stack; %d on a stack "
          "not aligned for them" % (len(files), wide, covered, len(offences)))
    return 1 if offences else 0


if __name__ == "__main__":
    sys.exit(main())
