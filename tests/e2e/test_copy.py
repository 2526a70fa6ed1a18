"""chunkcopy end to end: a new store from the lists kept, against the store a
fresh real server holds after being sent the same files in the same order;
a damaged chunk stops the copy and leaves nothing behind; refusals."""
import glob
import hashlib
import os
import re

from harness import STORE_NAME, Server, parse_records, run_program
from test_tools import ToolsTestCase, random_bytes

SUMMARY = re.compile(r"^chunkcopy: (\d+) lists?, (\d+) records, (\d+) bytes; (\d+) chunks copied; "
                     r"store (\d+) bytes before, (\d+) bytes after \([0-9.]+%\)\n$")


def digest_of(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class CopyTestCase(ToolsTestCase):
    def copy(self, *args):
        return run_program("chunkcopy", list(args), cwd=self.folder, timeout=300)

    def files(self):
        """Two versions of one file (most chunks shared), a file that no
        kept list names, and small ones: empty, tiny, one that repeats a
        block (chunks repeated inside one file)."""
        v1 = random_bytes(700000, 41)
        v2 = v1[:300000] + b"an edit in the middle" + v1[300000:650000] + random_bytes(9000, 42)
        block = random_bytes(30000, 43)
        return {"dropped": random_bytes(400000, 44), "v1": v1, "v2": v2, "empty": b"",
                "tiny": b"hello, chunks\n", "repeat": block * 5 + b"tail"}

    def leftovers(self):
        return glob.glob(self.path("**", "*.part"), recursive=True)

    def old_store_with_lists(self):
        """The old store: the dropped file first (so every kept chunk moves),
        then the kept ones in another order than they are copied in."""
        for name, data in self.files().items():
            self.write(name, data)
        srv = self.start_store_server()
        self.assert_ok(self.send("-q", "-o", "dropped.list", "dropped"))
        self.assert_ok(self.send("-q", "-o", "misc.list", "tiny", "empty", "repeat"))
        self.assert_ok(self.send("-q", "-o", "v2.list", "v2"))
        self.assert_ok(self.send("-q", "-o", "v1.list", "v1"))
        os.mkdir(self.path("out"))
        return srv


class CopyStore(CopyTestCase):
    def test_copy_restores_every_list_and_equals_a_fresh_servers_store(self):
        old_srv = self.old_store_with_lists()
        old_digest = digest_of(self.store())
        # The old server keeps running: the old store is only read.
        p = self.copy(self.store(), "new.dump", "-o", "out", "v1.list", "v2.list", "misc.list")
        self.assertEqual(p.returncode, 0, p.stderr)
        m = SUMMARY.match(p.stderr.decode())
        self.assertIsNotNone(m, p.stderr)
        records = sum(len(self.read(n)) // 21 for n in ("v1.list", "v2.list", "misc.list"))
        files = self.files()
        real = sum(len(files[n]) for n in ("v1", "v2", "tiny", "empty", "repeat"))
        new_size = os.path.getsize(self.path("new.dump"))
        self.assertEqual((int(m.group(1)), int(m.group(2)), int(m.group(3))), (3, records, real))
        self.assertEqual((int(m.group(5)), int(m.group(6))),
                         (os.path.getsize(self.store()), new_size))
        self.assertEqual(digest_of(self.store()), old_digest)
        self.assertIsNone(old_srv.proc.poll())
        self.assertEqual(sorted(os.listdir(self.path("out"))), ["misc.list", "v1.list", "v2.list"])
        self.assertEqual(self.leftovers(), [])

        # Each rewritten list restores its files, verified, from the new store.
        for name, parts in (("v1", ["v1"]), ("v2", ["v2"]), ("misc", ["tiny", "empty", "repeat"])):
            p = self.cat("new.dump", "out/%s.list" % name, "-o", name + ".out")
            self.assertEqual(p.returncode, 0, p.stderr)
            self.assertEqual(self.read(name + ".out"), b"".join(files[n] for n in parts))
            old = parse_records(self.read(name + ".list"))
            new = parse_records(self.read("out/%s.list" % name))
            self.assertEqual([(d, n) for d, n, _ in old], [(d, n) for d, n, _ in new])

        # A fresh real server sent the same files, list by list in the order
        # given, holds the same store byte for byte and sends the same records.
        os.mkdir(self.path("fresh"))
        srv = Server(self.path("fresh"))
        self.servers.append(srv)
        self.addCleanup(srv.stop)
        old_srv.stop()
        srv.start()
        self.assert_ok(self.send("-q", "-o", "fresh-v1.list", "v1"))
        self.assert_ok(self.send("-q", "-o", "fresh-v2.list", "v2"))
        self.assert_ok(self.send("-q", "-o", "fresh-misc.list", "tiny", "empty", "repeat"))
        self.assertEqual(self.read("new.dump"), self.read(os.path.join("fresh", STORE_NAME)))
        for name in ("v1", "v2", "misc"):
            self.assertEqual(self.read("out/%s.list" % name), self.read("fresh-%s.list" % name))
        # Only the kept chunks: the dropped file's are gone, so the store shrank.
        self.assertEqual(int(m.group(4)), len(set(o for n in ("v1", "v2", "misc")
                                                  for _, _, o in parse_records(
                                                      self.read("out/%s.list" % n)))))
        self.assertLess(new_size, os.path.getsize(self.store()))
        p = run_program("chunkcheck", ["-q", "new.dump"], cwd=self.folder)
        self.assertEqual(p.returncode, 0, p.stdout)

    def test_a_damaged_chunk_stops_the_copy_and_leaves_nothing(self):
        self.old_store_with_lists()
        # A chunk that only v2.list names, in the second list copied.
        v1_offsets = set(o for _, _, o in parse_records(self.read("v1.list")))
        v2 = parse_records(self.read("v2.list"))
        k = next(i for i, (_, n, o) in enumerate(v2) if o not in v1_offsets and i > 0)
        _, length, offset = v2[k]
        with open(self.store(), "r+b") as f:
            f.seek(offset * 64 + 7)
            x = f.read(1)
            f.seek(offset * 64 + 7)
            f.write(bytes([x[0] ^ 0x20]))
        p = self.copy("--progress", self.store(), "new.dump", "-o", "out", "v1.list", "v2.list",
                      "misc.list")
        self.assertEqual(p.returncode, 3, p.stderr)
        err = p.stderr.decode()
        self.assertIn("chunkcopy: v2.list: record %d (ChunkOffset %d, length %d): the stored "
                      "chunk does not match the record's digest\n" % (k, offset, length), err)
        self.assertIn("nothing written", err)
        self.assertFalse(os.path.exists(self.path("new.dump")))
        self.assertEqual(os.listdir(self.path("out")), [])
        self.assertEqual(self.leftovers(), [])
        # A list that names a chunk beyond the old store is refused before
        # anything is created.
        self.write("short.dump", self.read(os.path.join("store", STORE_NAME))[:4096])
        p = self.copy("short.dump", "new.dump", "-o", "out", "v1.list")
        self.assertEqual(p.returncode, 3)
        self.assertRegex(p.stderr.decode(), r"v1.list: record \d+ \(ChunkOffset \d+, length \d+\) "
                         r"lies outside the old store \(4096 bytes\); \d+ of its \d+ records do\n")
        self.assertFalse(os.path.exists(self.path("new.dump")))
        self.assertEqual(self.leftovers(), [])


class CopyRefusals(CopyTestCase):
    def test_what_is_refused_and_what_force_replaces(self):
        self.write("s", b"\xcc" * 64)
        self.write("a.list", b"")
        os.mkdir(self.path("out"))
        os.mkdir(self.path("d2"))
        self.write("d2/a.list", b"")
        self.write("existing", b"keep me")
        cases = [
            (["s", "new", "a.list"], 1),                          # no -o
            (["s", "new", "-o", "nodir", "a.list"], 1),           # OUTDIR missing
            (["s", "s", "-o", "out", "a.list"], 1),               # NEWSTORE is OLDSTORE
            (["s", "existing", "-o", "out", "a.list"], 1),        # NEWSTORE exists
            (["s", "new", "-o", "out", "a.list", "d2/a.list"], 1),  # the same NAME twice
            (["s", "new", "-o", "out", "nolist"], 1),             # LIST missing
            (["nostore", "new", "-o", "out", "a.list"], 1),       # OLDSTORE missing
            (["a.list2", "new", "-o", "out", "a.list"], 1),       # not a store
            (["s", "new", "-o", "out", "--bogus", "a.list"], 1),
        ]
        self.write("a.list2", b"x" * 100)
        for args, status in cases:
            with self.subTest(args=args):
                p = self.copy(*args)
                self.assertEqual(p.returncode, status, p.stderr)
                self.assertNotEqual(p.stderr, b"")
                self.assertFalse(os.path.exists(self.path("new")))
        self.assertEqual(self.read("existing"), b"keep me")
        self.assertEqual(os.listdir(self.path("out")), [])
        # Empty lists: nothing stored, an empty store (what a server that was
        # sent nothing has), and an empty list.
        p = self.copy("-q", "--force", "s", "existing", "-o", "out", "a.list")
        self.assertEqual((p.returncode, p.stderr), (0, b""))
        self.assertEqual(self.read("existing"), b"")
        self.assertEqual(self.read("out/a.list"), b"")
        p = self.copy("-q", "s", "new", "-o", "out", "a.list")
        self.assertEqual(p.returncode, 1)
        self.assertIn(b"out/a.list exists", p.stderr)
        self.assertEqual(self.leftovers(), [])
