"""chunkpack end to end: the real program in a fresh scratch folder, on
hand-made stores and lists and on a store and lists a real chunkstore made."""
import os
import random
import socket
import struct
import unittest

from harness import (RUNNER, STORE_NAME, ScratchTestCase, connect, file_command,
                     read_store, recv_all, run_program, split_records)


def rec(offset, length, digest=b"\xab" * 14):
    return digest + struct.pack("<HIB", length, offset & 0xFFFFFFFF, offset >> 32)


def parse_list(data):
    """(offset, length) of every whole record."""
    out = []
    for i in range(0, len(data) - len(data) % 21, 21):
        length, lo, hi = struct.unpack_from("<HIB", data, i + 14)
        out.append((lo | hi << 32, length))
    return out


def decode_pack(pack, store, newer):
    """Expands a pack back into the bytes its newer list stands for and
    returns them with the runs' (offset, count). Reference runs take their
    lengths from the newer list and their bytes from the store; literal runs
    carry their bytes. Checks the framing on the way."""
    records = parse_list(newer)
    out, pos, i, runs = bytearray(), 0, 0, []
    while pos < len(pack):
        assert pos + 7 <= len(pack), "cut-off run header"
        offset = int.from_bytes(pack[pos:pos + 5], "big")
        count = int.from_bytes(pack[pos + 5:pos + 7], "big")
        pos += 7
        assert 1 <= count <= 65535
        runs.append((offset, count))
        expected = offset
        for off, length in records[i:i + count]:
            if offset:
                assert off == expected, (off, expected)
                out += store[off * 64:off * 64 + length]
                expected = off + (length + 63) // 64
            else:
                assert pack[pos:pos + length] == store[off * 64:off * 64 + length]
                out += pack[pos:pos + length]
                pos += length
        i += count
    assert pos == len(pack) and i == len(records), (pos, len(pack), i, len(records))
    return bytes(out), runs


def store_with(chunks):
    """A store file holding `chunks` (bytes each), padded like the server
    pads them; returns the store and the ChunkOffset of each chunk."""
    store, offsets = bytearray(b"\xcc" * 64), []
    for c in chunks:
        offsets.append(len(store) // 64)
        store += c + c[-1:] * (-len(c) % 64)
    return bytes(store), offsets


class PackTest(ScratchTestCase):
    def path(self, name):
        return os.path.join(self.folder, name)

    def put(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def get(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def pack(self, *args):
        return run_program("chunkpack", args, cwd=self.folder)

    def assert_quiet_status(self, r, status, err=b""):
        self.assertEqual((r.returncode, r.stdout, r.stderr), (status, b"", err))

    def assert_failed_open(self, r, status, message):
        """Statuses 1 and 2 print nothing on stdout; stderr names the file
        and says why."""
        self.assertEqual((r.returncode, r.stdout), (status, b""))
        self.assertIn(message, r.stderr.decode())

    def test_statuses_1_and_2_touch_no_pack_file(self):
        self.put("store", b"\xcc" * 64)
        self.put("list", rec(1, 10))
        cases = [
            ([], 1, "four file names are needed (STORE OLDER NEWER PACK), 0 given"),
            (["store", "list", "list"], 1, "3 given"),
            (["missing", "list", "list", "pack"], 1,
             "cannot open the store file missing: "),
            (["store", "missing", "list", "pack"], 2,
             "cannot open the older list missing: "),
            (["store", "list", "missing", "pack"], 2,
             "cannot open the newer list missing: "),
        ]
        for args, status, message in cases:
            with self.subTest(args=args):
                self.assert_failed_open(self.pack(*args), status, message)
                self.assertFalse(os.path.exists(self.path("pack")))
        self.assert_failed_open(self.pack("store", "list", "list", "no/such/dir/pack"), 2,
                                "cannot write the pack no/such/dir/pack: its folder no/such/dir: ")
        # With the pack file there already, a failed input leaves it alone.
        self.put("pack", b"keep me")
        self.assert_failed_open(self.pack("store", "list", "missing", "pack"), 2, "missing")
        self.assertEqual(self.get("pack"), b"keep me")

    def test_existing_pack_is_truncated(self):
        self.put("store", b"\xcc" * 64)
        self.put("older", rec(1, 10))
        self.put("empty", b"")
        self.put("pack", b"x" * 100000)
        self.assert_quiet_status(self.pack("store", "older", "empty", "pack", "extra"), 0)
        self.assertEqual(self.get("pack"), b"")

    def test_pack_decodes_to_the_newer_files_bytes(self):
        rnd = random.Random(7)
        chunks = [bytes(rnd.randrange(256) for _ in range(rnd.choice([1, 64, 65, 100, 4000])))
                  for _ in range(300)] + [bytes(rnd.randrange(256) for _ in range(65535))] * 2
        store, offsets = store_with(chunks)
        # The older list reaches the first 150 chunks; the newer one walks
        # the store with repeats, steps back and jumps, so it makes reference
        # and literal runs of every shape, more than 64 KB of pack in all.
        older = b"".join(rec(offsets[i], len(chunks[i])) for i in range(0, 150, 3))
        picks = list(range(100, 302)) + [5, 5, 6, 7, 200, 150, 149, 301, 0]
        newer = b"".join(rec(offsets[i], len(chunks[i])) for i in picks)
        # A chunk's last record may claim fewer bytes than it holds.
        newer += rec(offsets[40], 3) + rec(offsets[41], 0) + b"\x01" * 11
        self.put("store", store)
        self.put("older", older)
        self.put("newer", newer)
        # The stray bytes at the end are ignored, with a warning.
        self.assert_quiet_status(self.pack("store", "older", "newer", "pack"), 0,
                                 b"chunkpack: warning: the newer list newer ends inside a "
                                 b"record: its last 11 bytes are ignored\n")
        pack = self.get("pack")
        self.assertGreater(len(pack), 65536)
        want = b"".join(chunks[i] for i in picks) + chunks[40][:3]
        self.assertEqual(decode_pack(pack, store, newer)[0], want)
        # Everything below the older list's furthest chunk is a reference.
        self.put("all", newer)
        self.assert_quiet_status(self.pack("store", "all", "all", "pack2"), 0,
                                 b"chunkpack: warning: the older list all ends inside a "
                                 b"record: its last 11 bytes are ignored\n")
        pack2 = self.get("pack2")
        self.assertEqual(decode_pack(pack2, store, newer)[0], want)
        self.assertEqual(len(pack2) % 7, 0)

    def test_unreadable_chunk_and_header_offset_give_status_3(self):
        store, offsets = store_with([b"a" * 100, b"b" * 30])
        self.put("store", store)
        self.put("empty", b"")
        cases = [
            ("past", rec(1, 100) + rec(3, 30) + rec(3, 65), "record 2 (ChunkOffset 3, length 65)"),
            ("far", rec(1, 100) + rec(1 << 39, 1), "record 1 (ChunkOffset 549755813888, length 1)"),
            ("zero", rec(1, 100) + rec(0, 9), "record 1 (ChunkOffset 0, length 9)"),
        ]
        for name, newer, words in cases:
            with self.subTest(name):
                self.put(name, newer)
                r = self.pack("store", "empty", name, "pack")
                self.assertEqual((r.returncode, r.stdout), (3, b""))
                self.assertIn(words, r.stderr.decode())

    @unittest.skipUnless(os.path.exists("/dev/full") and not RUNNER, "needs /dev/full")
    def test_failed_pack_write_gives_status_3(self):
        store, _ = store_with([b"z" * 300])
        self.put("store", store)
        self.put("empty", b"")
        self.put("newer", rec(1, 300))
        r = self.pack("store", "empty", "newer", "/dev/full")
        self.assertEqual((r.returncode, r.stdout), (3, b""))
        self.assertIn("/dev/full", r.stderr.decode())

    def test_pack_of_a_real_store_decodes_to_the_newer_files(self):
        rnd = random.Random(11)
        old_a = rnd.randbytes(300000)
        old_b = rnd.randbytes(70000)
        # The newer files: old_a edited in the middle and grown at the end,
        # old_b unchanged, and one file of new bytes only.
        new_a = old_a[:100000] + b"edit" * 500 + old_a[100500:] + rnd.randbytes(40000)
        new_c = rnd.randbytes(90000)
        self.start_server()
        older = self.store(old_a, old_b)
        self.assertIsNotNone(older, "chunkstore answered no records")
        newer = self.store(new_a, old_b, new_c)
        self.put("older", b"".join(older))
        self.put("newer", b"".join(newer))
        # The store is read while the server holds it open.
        self.assert_quiet_status(self.pack(STORE_NAME, "older", "newer", "pack"), 0)
        store, pack = read_store(self.folder), self.get("pack")
        want = new_a + old_b + new_c
        data, runs = decode_pack(pack, store, self.get("newer"))
        self.assertEqual(data, want)
        # Unchanged stretches come as references, new bytes as literals,
        # and the pack is far smaller than the newer files.
        self.assertTrue(any(offset for offset, _ in runs))
        self.assertTrue(any(not offset for offset, _ in runs))
        self.assertLess(len(pack), len(want) - len(old_a) // 2)

    def store(self, *files):
        """Sends the files on one connection; returns each file's records
        as bytes, or None when the server answers nothing."""
        s = connect()
        try:
            for data in files:
                s.sendall(file_command(data))
            s.shutdown(socket.SHUT_WR)
            reply = recv_all(s)
        finally:
            s.close()
        if not reply:
            return None
        return [b"".join(r[0] + struct.pack("<HIB", r[1], r[2] & 0xFFFFFFFF, r[2] >> 32)
                         for r in recs)
                for recs in split_records(reply, [len(d) for d in files])]


if __name__ == "__main__":
    unittest.main()
