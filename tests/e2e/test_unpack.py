"""chunkunpack end to end: a newer version restored byte for byte from a copy
of the store as it was for the older version and a pack; packs that do not
match the list or the store copy are refused and leave no output."""
import glob
import os
import shutil
import struct
import unittest

from harness import STORE_NAME, parse_records, run_program
from test_tools import ToolsTestCase, random_bytes


class Unpack(ToolsTestCase):
    def unpack(self, *args):
        return run_program("chunkunpack", list(args), cwd=self.folder, timeout=300)

    def make_versions(self):
        """Stores v1, copies the store, stores v2 (changed in the middle, a
        new file that ends on a chunk boundary, an empty file), packs v2
        against v1. Returns v2's bytes."""
        self.start_store_server()
        probe = random_bytes(60000, 21)
        self.write("probe", probe)
        self.assert_ok(self.send("-o", "probe.list", "probe"))
        boundary = probe[:parse_records(self.read("probe.list"))[0][1]]
        v1 = random_bytes(3 << 20, 22)
        self.write("v1", v1)
        self.assert_ok(self.send("-o", "v1.list", "v1"))
        shutil.copyfile(self.store(), self.path("copy"))
        v2 = v1[:1000000] + b"changed for version 2" + v1[1000100:] + random_bytes(5000, 23)
        self.write("v2", v2)
        self.write("boundary", boundary)
        self.write("empty", b"")
        self.assert_ok(self.send("-o", "v2.list", "v2", "boundary", "empty"))
        p = run_program("chunkpack", [self.store(), "v1.list", "v2.list", "v2.pack"],
                        cwd=self.folder)
        self.assertEqual(p.returncode, 0, p.stderr)
        return v2 + boundary

    def runs(self, pack):
        """(pack position, run offset, count, literal bytes) of each run."""
        recs = parse_records(self.read("v2.list"))
        out, at, i = [], 0, 0
        while at < len(pack):
            offset = int.from_bytes(pack[at:at + 5], "big")
            count = struct.unpack(">H", pack[at + 5:at + 7])[0]
            n = 0 if offset else sum(length for _, length, _ in recs[i:i + count])
            out.append((at, offset, count, n))
            at += 7 + n
            i += count
        self.assertEqual(i, len(recs))
        return out

    def assert_refused(self, pack, message, store="copy", lst="v2.list"):
        self.write("bad.pack", pack)
        p = self.unpack(store, lst, "bad.pack", "-o", "out")
        self.assertEqual(p.returncode, 3, p.stderr)
        self.assertIn(message, p.stderr)
        self.assertIn(b"out not written", p.stderr)
        self.assertFalse(os.path.exists(self.path("out")))
        self.assertFalse(glob.glob(self.path("out*.part")))

    def test_restore_from_store_copy_and_pack_then_refuse_damaged_packs(self):
        v2 = self.make_versions()
        pack = self.read("v2.pack")
        runs = self.runs(pack)
        kinds = [offset != 0 for _, offset, _, _ in runs]
        self.assertIn(True, kinds)
        self.assertIn(False, kinds)
        # The store copy lacks every chunk that v2 added: the pack carries them.
        self.assertLess(os.path.getsize(self.path("copy")), os.path.getsize(self.store()))

        self.assert_ok(self.unpack("copy", "v2.list", "v2.pack", "-o", "v2.out"))
        self.assertEqual(self.read("v2.out"), v2)
        self.assertFalse(glob.glob(self.path("v2.out*.part")))
        p = self.unpack("copy", "v2.list", "v2.pack")
        self.assertEqual((p.returncode, p.stderr), (0, b""))
        self.assertEqual(p.stdout, v2)

        lit = next(r for r in runs if r[1] == 0 and r[3] > 0)
        ref = next(r for r in runs if r[1] != 0)
        # A changed literal byte.
        bad = bytearray(pack)
        bad[lit[0] + 7 + lit[3] // 2] ^= 0x01
        self.assert_refused(bytes(bad), b"do not match the record's digest")
        # Literal bytes cut short at the end.
        last = [r for r in runs if r[3] > 0][-1]
        self.assert_refused(pack[:last[0] + 7 + last[3] - 1], b"ends inside the literal bytes")
        # A run count one too high (the next record does not continue the
        # run), one too low (the run's last record is read as a literal), 0.
        for count, message in ((ref[2] + 1, b"does not match the list"),
                               (ref[2] - 1, b"do not match the record's digest"),
                               (0, b"has 0 records")):
            bad = bytearray(pack)
            struct.pack_into(">H", bad, ref[0] + 5, count)
            self.assert_refused(bytes(bad), message)
        # A reference run moved by one chunk.
        bad = bytearray(pack)
        bad[ref[0]:ref[0] + 5] = (ref[1] + 1).to_bytes(5, "big")
        self.assert_refused(bytes(bad), b"expects ChunkOffset %d here" % (ref[1] + 1))
        # Runs left over after the list, and a pack that ends before it.
        self.assert_refused(pack + pack[ref[0]:ref[0] + 7], b"holds %d records" % ref[2])
        self.assert_refused(pack + b"\0\0\0", b"ends inside a run header")
        self.assert_refused(pack[:runs[-1][0]], b"has more records")
        # The pack of another list.
        self.assert_refused(pack, b"do not match", lst="v1.list")
        # A store copy that ends before a referenced chunk.
        with open(self.path("copy"), "rb") as f:
            head = f.read(ref[1] * 64 + 10)
        self.write("short", head)
        self.assert_refused(pack, b"beyond the end of the store copy short", store="short")

    def test_a_damaged_stored_chunk_stops_the_output_exactly_before_its_record(self):
        # Stored chunks are checked many at a time; the output on standard
        # output and the fault reported must still be those of checking
        # record by record, whatever follows the damaged chunk.
        v2 = self.make_versions()
        pack = self.read("v2.pack")
        recs = parse_records(self.read("v2.list"))
        runs = self.runs(pack)
        longest = max((r for r in runs if r[1] != 0), key=lambda r: r[2])
        self.assertGreater(longest[2], 300)
        first = sum(r[2] for r in runs if r[0] < longest[0])  # its first record
        for k in (first, first + 1, first + longest[2] // 2, first + longest[2] - 1):
            with self.subTest(record=k):
                copy = bytearray(self.read("copy"))
                copy[recs[k][2] * 64 + recs[k][1] // 2] ^= 0x40
                self.write("damaged", bytes(copy))
                before = sum(length for _, length, _ in recs[:k])
                for tail in (pack, pack + b"\0\0\0"):  # a later fault comes second
                    self.write("p", tail)
                    p = self.unpack("damaged", "v2.list", "p")
                    self.assertEqual(p.returncode, 3, p.stderr)
                    self.assertIn(b"record %d (ChunkOffset %d," % (k, recs[k][2]), p.stderr)
                    self.assertIn(b"does not match the record's digest", p.stderr)
                    self.assertNotIn(b"run header", p.stderr)
                    self.assertEqual(p.stdout, v2[:before])

    def test_usage_and_missing_inputs(self):
        self.write("l", b"")
        self.write("p", b"")
        self.write("s", b"\xcc" * 64)
        self.assertEqual(self.unpack("s", "l").returncode, 1)
        self.assertEqual(self.unpack("s", "l", "nopack").returncode, 1)
        self.assertEqual(self.unpack("nostore", "l", "p").returncode, 1)
        self.assertEqual(self.unpack("s", "l", "p", "-o", "nodir/out").returncode, 2)
        # An empty list and an empty pack make an empty file.
        self.assert_ok(self.unpack("s", "l", "p", "-o", "out"))
        self.assertEqual(self.read("out"), b"")
        h = self.unpack("--help")
        self.assertEqual(h.returncode, 0)
        self.assertIn(b"usage: chunkunpack", h.stdout)


if __name__ == "__main__":
    unittest.main()
