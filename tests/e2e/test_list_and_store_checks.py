"""chunkinfo, chunkcat --check and chunkcheck end to end: figures of lists,
verifying lists without writing, and whole-store checks of a real server's
store, clean, damaged, and while the server appends."""
import os
import subprocess
import time
import unittest

from harness import WINDOWS_PROGRAMS, parse_records, program, run_program
from test_tools import ToolsTestCase, random_bytes, rec


def text(out):
    """A program's standard output as text; a Windows program's lines end
    in CR LF (text mode), compared here as LF."""
    out = out.decode()
    return out.replace("\r\n", "\n") if WINDOWS_PROGRAMS else out


class Inspect(ToolsTestCase):
    def info(self, *args):
        return run_program("chunkinfo", list(args), cwd=self.folder)

    def check(self, *args):
        return run_program("chunkcheck", list(args), cwd=self.folder, timeout=300)

    def stored(self, **files):
        self.start_store_server()
        for name, data in files.items():
            self.write(name, data)
            self.assert_ok(self.send("-o", name + ".list", name))
        return self.servers[-1]

    def test_chunkinfo_figures_and_records_outside_the_store(self):
        self.write("s", b"\xcc" * 64 + b"x" * 640)  # ChunkOffsets 1..10
        self.write("a.list", rec(1, 100) + rec(3, 0) + rec(10, 64) + rec(5, 0))
        self.write("b.list", rec(10, 65) + rec(0, 1) + rec(2, 7) + b"\x01\x02")
        p = self.info("a.list")
        self.assertEqual((p.returncode, p.stderr), (0, b""))
        self.assertEqual(text(p.stdout), "a.list: 4 records, 164 bytes, highest ChunkOffset 10, "
                         "2 of length 0\n")
        p = self.info("--store", "s", "a.list", "b.list")
        self.assertEqual(p.returncode, 3)
        self.assertEqual(text(p.stdout).splitlines(), [
            "a.list: 4 records, 164 bytes, highest ChunkOffset 10, 2 of length 0, "
            "all inside the store",
            "b.list: 3 records, 73 bytes, highest ChunkOffset 10, 0 of length 0, "
            "2 outside the store",
            "total: 7 records, 237 bytes, highest ChunkOffset 10, 2 of length 0, "
            "2 outside the store"])
        err = p.stderr.decode()
        self.assertIn("b.list: record 0 (ChunkOffset 10, length 65) is not inside the store "
                      "(704 bytes)", err)
        self.assertIn("b.list: record 1 (ChunkOffset 0, length 1)", err)
        self.assertIn("b.list ends inside a record: 2 stray bytes after record 3", err)
        self.assertEqual(self.info("nolist").returncode, 1)
        self.assertEqual(self.info("--store", "nostore", "a.list").returncode, 1)
        self.assertEqual(self.info().returncode, 1)

    def test_chunkcat_check_verifies_lists_and_writes_nothing(self):
        a, b = random_bytes(500000, 31), random_bytes(1000, 32)
        self.stored(a=a, b=b)
        before = sorted(os.listdir(self.folder))
        p = self.cat("--check", self.store(), "a.list", "b.list")
        self.assertEqual((p.returncode, p.stderr), (0, b""))
        na, nb = len(self.read("a.list")) // 21, len(self.read("b.list")) // 21
        self.assertEqual(text(p.stdout), "a.list: %d records, %d bytes: ok\n"
                         "b.list: %d records, 1000 bytes: ok\n" % (na, len(a), nb))
        self.assertEqual(sorted(os.listdir(self.folder)), before)
        # One damaged chunk is reported; the other list stays ok.
        _, length, offset = parse_records(self.read("a.list"))[2]
        with open(self.store(), "r+b") as f:
            f.seek(offset * 64 + 10)
            x = f.read(1)
            f.seek(offset * 64 + 10)
            f.write(bytes([x[0] ^ 4]))
        p = self.cat("--check", self.store(), "a.list", "b.list")
        self.assertEqual(p.returncode, 3)
        self.assertEqual(text(p.stdout), "a.list: %d records, %d bytes: 1 bad\n"
                         "b.list: %d records, 1000 bytes: ok\n" % (na, len(a) - length, nb))
        self.assertIn(b"a.list: record 2 (ChunkOffset %d, length %d): the stored chunk does "
                      b"not match" % (offset, length), p.stderr)
        self.assertEqual(self.cat("--check", self.store(), "b.list", "nolist").returncode, 1)
        self.assertEqual(self.cat("--check", "-o", "x", self.store(), "b.list").returncode, 1)
        self.assertEqual(self.cat(self.store(), "a.list", "b.list").returncode, 1)

    def test_chunkcheck_clean_store_then_each_kind_of_damage(self):
        a = random_bytes(400000, 33)
        self.stored(a=a, b=a[:200000] + b"new" + a[200000:], e=b"")
        recs = parse_records(self.read("a.list") + self.read("b.list") + self.read("e.list"))
        size = os.path.getsize(self.store())
        p = self.check(self.store())
        self.assertEqual((p.returncode, p.stderr), (0, b""), p.stdout)
        out = text(p.stdout).splitlines()
        chunks = len(set(off for _, _, off in recs))
        self.assertEqual(out[0], "store: %s (%d bytes)" % (self.store(), size))
        self.assertEqual(out[1], "header: ok")
        full = int(out[2].split("(")[1].split()[0])
        self.assertEqual(out[2], "chunks: %d (%d bytes, filler included)" % (chunks, full))
        self.assertEqual(out[3], "padding: %d bytes" % (size - 64 - full))
        # How full a server's index is with the distinct chunks: far from the
        # warning (nothing on stderr).
        self.assertEqual(out[4:], ["padding not a copy of the last byte: 0 chunks",
                                   "stored more than once: 0 chunks (0 bytes)",
                                   "index: %d distinct chunks of 33554432 slots (%.2f%%)"
                                   % (chunks, 100.0 * chunks / (1 << 25)),
                                   "tail: none", "clean"])
        with open(self.store(), "rb") as f:
            pristine = f.read()

        def damaged(data, *expect, status=3):
            with open(self.store(), "wb") as f:
                f.write(data)
            p = self.check(self.store())
            self.assertEqual(p.returncode, status, p.stdout)
            for e in expect:
                self.assertIn(e.decode(), text(p.stdout) + p.stderr.decode())

        # A chunk stored again at the end (as after an index eviction) is
        # counted, but is no fault.
        _, length, offset = next(r for r in recs if r[1] % 64 != 0)
        padded = (length + 63) // 64 * 64
        copy = pristine[offset * 64: offset * 64 + padded]
        damaged(pristine + copy, b"stored more than once: 1 chunks (%d bytes)" % padded,
                b"ChunkOffset %d is stored again at ChunkOffset %d" % (offset, size // 64),
                b"index: %d distinct chunks of 33554432 slots" % chunks, b"clean", status=0)
        # Padding that is not a copy of the chunk's last byte.
        bad = bytearray(pristine)
        bad[offset * 64 + length] ^= 0xFF
        damaged(bytes(bad), b"padding not a copy of the last byte: 1 chunks",
                b"the chunk at ChunkOffset %d has padding" % offset, b"not clean")
        # Torn tails: part of a chunk, and part of a chunk's padding.
        damaged(pristine + copy[:length // 2],
                b"tail: torn: %d bytes after the last whole chunk (byte %d on)"
                % (length // 2, size), b"chunks: %d " % chunks)
        damaged(pristine + copy[:length], b"ends %d bytes short inside the padding"
                % (padded - length), b"chunks: %d " % (chunks + 1))
        # Not a store at all, and an empty one.
        damaged(b"\xcc" * 63 + b"\x00" + pristine[64:], b"not a chunk store")
        damaged(b"\xcc" * 10, b"not a chunk store")
        damaged(b"", b"header: none yet", b"clean", status=0)
        self.assertEqual(self.check("nostore").returncode, 1)
        self.assertEqual(self.check().returncode, 1)

    def test_a_torn_padding_with_stray_bytes_is_clean_after_the_next_append(self):
        a = random_bytes(300000, 35)
        srv = self.stored(a=a)
        srv.stop()
        last_offset, last_length = None, None
        for _, length, offset in parse_records(self.read("a.list")):
            last_offset, last_length = offset, length
        stored = self.read(os.path.join("store", "$dump"))
        size = len(stored)
        # The last chunk's real bytes end with filler counting up from their
        # last byte; its padding repeats the last filler byte.
        end = last_offset * 64 + last_length + 1
        while end < size and stored[end] != stored[end - 1]:
            end += 1
        padding = size - end
        self.assertGreater(padding, 2, "the last chunk must have some padding to tear")
        with open(self.store(), "r+b") as f:  # a torn padding of stray bytes
            f.truncate(size - 1)
            f.seek(end)
            f.write(b"\x00\xff" * ((padding - 1) // 2) + b"\x00" * ((padding - 1) % 2))
        self.assertEqual(self.check(self.store()).returncode, 3)
        self.start_server(folder=self.path("store"))
        self.write("b", random_bytes(100000, 36))
        self.assert_ok(self.send("-q", "-o", "b.list", "b"))
        p = self.check(self.store())
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertTrue(text(p.stdout).endswith("\nclean\n"), p.stdout)
        self.assertEqual(self.cat(self.store(), "a.list").stdout, a)
        self.assertEqual(self.cat(self.store(), "b.list").stdout, self.read("b"))

    def test_chunkcheck_while_the_server_appends(self):
        self.start_store_server()
        data = random_bytes(24 << 20, 34)
        self.write("big", data)
        sender = subprocess.Popen(program("chunksend") + ["-q", "-o", "big.list", "big"],
                                  cwd=self.folder, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        self.addCleanup(sender.kill)
        runs = 0
        while True:
            done = sender.poll() is not None
            if os.path.exists(self.store()):
                p = self.check("-q", self.store())
                self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
                self.assertTrue(text(p.stdout).endswith("\nclean\n"), p.stdout)
                runs += 1
            if done:
                break
            time.sleep(0.05)
        self.assertEqual(sender.wait(), 0)
        self.assertGreaterEqual(runs, 2)
        p = self.check("--progress", self.store())
        self.assertEqual(p.returncode, 0)
        self.assertIn("chunks: %d " % len(parse_records(self.read("big.list"))), text(p.stdout))


if __name__ == "__main__":
    unittest.main()
