"""chunksend and chunkcat end to end: files stored through a real chunkstore
come back byte for byte; incomplete replies, records beyond the store and
corrupted store bytes are reported and leave no output under its name."""
import array
import fcntl
import glob
import json
import os
import random
import re
import resource
import signal
import socket
import stat
import struct
import subprocess
import termios
import threading
import time
import unittest

from harness import (PORT, STORE_NAME, WINDOWS_PROGRAMS, Running, ScratchTestCase, connect,
                     parse_records, text_lines, program, run_program, wait_port_free)


def random_bytes(n, seed):
    return random.Random(seed).randbytes(n)


def rec(offset, length, digest=b"\xab" * 14):
    return digest + struct.pack("<HIB", length, offset & 0xFFFFFFFF, offset >> 32)


class ToolsTestCase(ScratchTestCase):
    def path(self, *names):
        return os.path.join(self.folder, *names)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def send(self, *args):
        return run_program("chunksend", list(args), cwd=self.folder, timeout=300)

    def cat(self, *args):
        return run_program("chunkcat", list(args), cwd=self.folder, timeout=300)

    def store(self):
        return self.path("store", STORE_NAME)

    def start_store_server(self):
        os.mkdir(self.path("store"))
        return self.start_server(folder=self.path("store"))

    def assert_ok(self, proc):
        """Status 0, and nothing on stderr but chunksend's summary line."""
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertRegex(proc.stderr.decode(), r"^(chunksend: \d+ files?, \d+ bytes sent, "
                         r"\d+ records; [^\n]*MB/s\n)?$")


class RoundTrip(ToolsTestCase):
    def test_each_file_comes_back_from_one_connection(self):
        self.start_store_server()
        # A prefix that ends exactly on a chunk boundary: the first chunk of
        # some random bytes, found by storing them once.
        probe = random_bytes(50000, 1)
        self.write("probe", probe)
        self.assert_ok(self.send("-o", "probe.list", "probe"))
        boundary = probe[:parse_records(self.read("probe.list"))[0][1]]

        files = [("boundary", boundary), ("empty1", b""), ("small", b"hello, chunks\n"),
                 ("big", random_bytes(24 << 20, 2)), ("empty2", b""),
                 ("again", boundary + b"!")]
        for name, data in files:
            self.write(name, data)
        names = [n for n, _ in files]
        os.mkdir(self.path("lists"))
        self.assert_ok(self.send("-q", "-o", "all.list", *names))
        self.assert_ok(self.send("--per-file", "-o", "lists", *names))

        # The boundary file owns the extra 0-length record, not the empty
        # file after it.
        recs = parse_records(self.read("lists/boundary.list"))
        self.assertEqual([length for _, length, _ in recs], [len(boundary), 0])
        per_file = b""
        for name, data in files:
            per_file += self.read("lists/%s.list" % name)
            self.assert_ok(self.cat(self.store(), "lists/%s.list" % name, "-o", name + ".out"))
            self.assertEqual(self.read(name + ".out"), data, name)
        # One list holds the same records, and restores the files in a row.
        self.assertEqual(self.read("all.list"), per_file)
        whole = self.cat(self.store(), "all.list")
        self.assertEqual(whole.returncode, 0, whole.stderr)
        self.assertEqual(whole.stdout, b"".join(d for _, d in files))
        self.assertEqual(sorted(os.listdir(self.path("lists"))),
                         sorted(n + ".list" for n in names))

    def test_files_whose_ends_meet_the_end_of_the_send_buffer(self):
        # chunksend's send buffer holds 1 MiB: a file that ends 12, 11, 0 or
        # 13 bytes before its end leaves room for exactly the next 12-byte
        # command header, not quite for it, none, or the header and one byte.
        self.start_store_server()
        mib = 1 << 20
        after = random_bytes(5000, 30)
        self.write("after", after)
        for left in (12, 11, 0, 13):
            data = random_bytes(mib - 12 - left, 31 + left)
            self.write("first", data)
            p = self.send("-q", "-o", "both.list", "first", "after")
            self.assert_ok(p)
            whole = self.cat(self.store(), "both.list")
            self.assertEqual((whole.returncode, whole.stdout == data + after), (0, True), left)

    def test_unreadable_file_is_named_and_the_others_are_stored(self):
        self.start_store_server()
        data = random_bytes(300000, 3)
        self.write("a", data)
        p = self.send("-o", "a.list", "missing", "a", self.folder)
        self.assertEqual(p.returncode, 5)
        err = p.stderr.decode()
        self.assertIn("cannot read missing", err)
        self.assertIn("cannot read %s" % self.folder, err)  # a directory
        self.assertEqual(self.cat(self.store(), "a.list").stdout, data)

    def test_stop_sends_quit_after_the_files(self):
        srv = self.start_store_server()
        data = random_bytes(20000, 4)
        self.write("a", data)
        self.assert_ok(self.send("--stop", "-o", "a.list", "a"))
        self.assertEqual(srv.wait_exit(), 0)
        self.assertEqual(self.cat(self.store(), "a.list").stdout, data)

    def test_usage_and_unreachable_server(self):
        self.assertEqual(self.send("a").returncode, 1)           # no -o
        self.assertEqual(self.send("-o", "x.list").returncode, 1)  # no file
        self.write("a", b"abc")
        self.write("b", b"abc")
        os.mkdir(self.path("d"))
        os.mkdir(self.path("sub"))
        self.write("sub/a", b"x")
        dup = self.send("--per-file", "-o", "d", "a", "sub/a")
        self.assertEqual(dup.returncode, 1)
        self.assertIn(b"would both be listed", dup.stderr)
        self.assertTrue(wait_port_free())
        p = self.send("--timeout", "1", "-o", "x.list", "a")  # nobody listens
        self.assertEqual(p.returncode, 2)
        self.assertIn(b"127.0.0.1:8888 is not listening (still starting?); retrying for up to "
                      b"1 s\n", p.stderr)
        self.assertEqual(sorted(os.listdir(self.path("d"))), [])
        self.assertFalse(os.path.exists(self.path("x.list")))
        self.assertFalse(glob.glob(self.path("x.list*.part")))


class HelpAndVersion(ToolsTestCase):
    PROGRAMS = ["chunkstore", "chunkpack", "chunkstop", "chunksend", "chunkcat", "chunkinfo",
                "chunkcheck", "chunkunpack", "chunkcopy"]

    def test_every_program_answers_and_does_nothing_else(self):
        srv = self.start_store_server()
        for name in self.PROGRAMS:
            for args in (["--help"], ["-h"], ["extra", "--version"] if name in
                         ("chunkstore", "chunkstop") else ["--version"]):
                with self.subTest(program=name, args=args):
                    r = run_program(name, args, cwd=self.folder)
                    self.assertEqual((r.returncode, r.stderr), (0, b""))
                    if args[-1] == "--version":
                        self.assertEqual(text_lines(r.stdout), b"%s 1.0\n" % name.encode())
                    else:
                        self.assertTrue(r.stdout.startswith(b"usage: " + name.encode()))
        # No store created, no other file; the running server was not
        # contacted (chunkstop --help did not stop it) and is still there.
        self.assertEqual(sorted(os.listdir(self.folder)), ["store"])
        self.assertIsNone(srv.proc.poll())
        self.assertEqual(srv.new_output(), "")


class FakeServer:
    """Listens on port 8888, reads one connection's commands until the
    client half-closes, then answers with `reply` and closes."""

    def __init__(self, reply):
        self.reply = reply
        self.received = b""
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", PORT))
        self.listener.listen(1)
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        conn, _ = self.listener.accept()
        with conn:
            while True:
                b = conn.recv(1 << 16)
                if not b:
                    break
                self.received += b
            conn.sendall(self.reply)

    def close(self):
        self.thread.join(timeout=30)
        self.listener.close()


class BrokenReplies(ToolsTestCase):
    def send_to_fake(self, reply, files, *options):
        self.assertTrue(wait_port_free())
        fake = FakeServer(reply)
        self.addCleanup(fake.close)
        names = []
        for i, data in enumerate(files):
            names.append(self.write("f%d" % i, data))
        p = self.send("-o", "out.list", *(list(options) + names))
        fake.close()
        # Nothing under the final name, no temporary left behind.
        self.assertFalse(os.path.exists(self.path("out.list")))
        self.assertFalse(glob.glob(self.path("out.list*.part")))
        return p, fake.received

    def test_incomplete_replies_are_reported(self):
        cases = [
            # Records that stop short of the file's length.
            ([rec(1, 200), rec(5, 100)], [b"x" * 1000], b"cover 300 of its 1000"),
            # The second file gets nothing at all.
            ([rec(1, 1000)], [b"x" * 1000, b"y" * 10], b"cover 0 of its 10"),
            # Cut inside a record.
            ([rec(1, 1000), rec(9, 0)[:8]], [b"x" * 1000], b"8 of its 21 bytes"),
            # More records than the file needs.
            ([rec(1, 1000), rec(9, 5)], [b"x" * 1000], b"no non-empty file follows"),
        ]
        for records, files, message in cases:
            p, received = self.send_to_fake(b"".join(records), files)
            self.assertEqual(p.returncode, 3, p.stderr)
            self.assertIn(message, p.stderr)
            self.assertIn(b"no list written", p.stderr)
            # Every file went out as a "file" command before the reply.
            expected = b"".join(b"file" + struct.pack(">Q", len(d)) + d for d in files)
            self.assertEqual(received, expected)

    def test_server_that_stops_in_the_middle_of_a_file_is_not_called_busy(self):
        # A server that takes part of the files and stops (it is killed, or
        # crashes): without a record, then with the records of the first
        # file. Its port closes before the connection does.
        for records, stored in [(b"", None), (rec(1, 3000), b"first")]:
            self.assertTrue(wait_port_free())
            listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            listener.bind(("127.0.0.1", PORT))
            listener.listen(1)

            def stop_midway():
                conn, _ = listener.accept()
                got = 0
                while got < 3012 + 12 + 100000:  # into the second file
                    got += len(conn.recv(1 << 16))
                conn.sendall(records)
                listener.close()
                conn.close()
            server = threading.Thread(target=stop_midway, daemon=True)
            server.start()
            self.write("first", b"f" * 3000)
            self.write("second", random_bytes(8 << 20, 41))
            p = self.send("--timeout", "5", "-o", "x.list", "first", "second")
            server.join(30)
            err = p.stderr.decode()
            self.assertEqual(p.returncode, 3, err)
            self.assertNotIn("busy", err)
            self.assertNotIn("Nothing was stored", err)
            self.assertRegex(err, r"the connection was lost after \d+ of the 8388608 bytes of "
                                  r"second \(file 2 of 2\) had gone out\n")
            if stored:
                self.assertIn("every record of the first 1 file came: its chunks are stored\n",
                              err)
                self.assertIn("part of second may be stored", err)
            else:
                self.assertIn("first to second may be stored, in part", err)
            self.assertIn("no list written", err)
            self.assertFalse(glob.glob(self.path("x.list*")))

    def test_per_file_lists_are_not_written_from_a_broken_reply(self):
        os.mkdir(self.path("lists"))
        self.assertTrue(wait_port_free())
        fake = FakeServer(rec(1, 500))
        self.addCleanup(fake.close)
        self.write("a", b"a" * 500)
        self.write("b", b"b" * 500)
        p = self.send("--per-file", "-o", "lists", "a", "b")
        fake.close()
        self.assertEqual(p.returncode, 3)
        self.assertEqual(os.listdir(self.path("lists")), [])


class Restore(ToolsTestCase):
    def stored(self, data):
        """Stores data through the real server; returns the list's bytes."""
        self.start_store_server()
        self.write("data", data)
        self.assert_ok(self.send("-o", "data.list", "data"))
        return self.read("data.list")

    def test_record_beyond_the_store_is_reported(self):
        data = random_bytes(200000, 5)
        good = self.stored(data)
        size = os.path.getsize(self.store())
        beyond = rec(size // 64, 10)               # starts at the store's end
        straddling = rec(size // 64 - 1, 100)      # runs past it
        self.write("bad.list", good[:42] + beyond + good[42:] + straddling + rec(0, 5))
        p = self.cat(self.store(), "bad.list", "-o", "out")
        self.assertEqual(p.returncode, 3)
        err = p.stderr.decode()
        self.assertIn("record 2 (ChunkOffset %d, length 10): reaches byte %d, past the end "
                      "of the store (%d bytes)" % (size // 64, size + 10, size), err)
        n = len(good) // 21 + 1
        self.assertIn("record %d (ChunkOffset %d, length 100)" % (n, size // 64 - 1), err)
        self.assertIn("record %d (ChunkOffset 0, length 5)" % (n + 1), err)
        self.assertFalse(os.path.exists(self.path("out")))
        self.assertFalse(glob.glob(self.path("out*.part")))
        # On standard output, the bytes before the first bad record.
        p = self.cat(self.store(), "bad.list")
        self.assertEqual(p.returncode, 3)
        first_two = sum(length for _, length, _ in parse_records(good[:42]))
        self.assertEqual(p.stdout, data[:first_two])
        self.assertIn(b"holds only the first %d bytes" % first_two, p.stderr)
        # A list that ends inside a record.
        self.write("cut.list", good + good[:5])
        p = self.cat(self.store(), "cut.list", "-o", "out")
        self.assertEqual(p.returncode, 3)
        self.assertIn(b"5 stray bytes", p.stderr)
        self.assertFalse(os.path.exists(self.path("out")))

    def test_corrupted_store_byte_is_caught_by_verification(self):
        data = random_bytes(400000, 6)
        good = self.stored(data)
        recs = parse_records(good)
        _, length, offset = recs[3]
        with open(self.store(), "r+b") as f:
            f.seek(offset * 64 + length // 2)
            b = f.read(1)
            f.seek(offset * 64 + length // 2)
            f.write(bytes([b[0] ^ 0x20]))
        p = self.cat(self.store(), "data.list", "-o", "out")
        self.assertEqual(p.returncode, 3)
        self.assertIn(b"record 3 (ChunkOffset %d, length %d): the stored chunk does not match "
                      b"the record's digest" % (offset, length), p.stderr)
        self.assertFalse(os.path.exists(self.path("out")))
        # Without verification the damaged bytes go out unnoticed.
        p = self.cat("--no-verify", self.store(), "data.list", "-o", "out")
        self.assertEqual(p.returncode, 0)
        out = self.read("out")
        self.assertEqual(len(out), len(data))
        self.assertNotEqual(out, data)

    def test_damaged_chunks_among_many_are_reported_in_list_order(self):
        # Chunks are verified many at a time, and the store is read in
        # blocks of megabytes: damaged chunks side by side, far apart and
        # last, with a record of another kind among them, are each reported
        # under their own index and in list order, and nothing from or after
        # the first of them is written.
        data = random_bytes(6 << 20, 8)
        good = self.stored(data)
        recs = parse_records(good)
        n = len(recs)
        damaged = [130, 131, n // 2, n - 2]
        with open(self.store(), "r+b") as f:
            for i in damaged:
                _, length, offset = recs[i]
                f.seek(offset * 64 + length // 2)
                b = f.read(1)
                f.seek(offset * 64 + length // 2)
                f.write(bytes([b[0] ^ 0x10]))
        inserted = 200  # a record naming the store header goes in here
        self.write("bad.list", good[:21 * inserted] + rec(0, 5) + good[21 * inserted:])
        expected = [130, 131, inserted, n // 2 + 1, n - 1]
        p = self.cat(self.store(), "bad.list", "-o", "out")
        self.assertEqual(p.returncode, 3)
        err = p.stderr.decode()
        reported = [int(m) for m in re.findall(r"record (\d+) \(ChunkOffset", err)]
        self.assertEqual(reported, expected, err)
        self.assertIn("record 131 (ChunkOffset %d, length %d): the stored chunk does not match"
                      % (recs[131][2], recs[131][1]), err)
        self.assertFalse(os.path.exists(self.path("out")))
        # --check counts the bytes of exactly the good records.
        p = self.cat("--check", self.store(), "bad.list")
        self.assertEqual(p.returncode, 3)
        good_bytes = sum(r[1] for i, r in enumerate(recs) if i not in damaged)
        self.assertEqual(text_lines(p.stdout).decode(), "bad.list: %d records, %d bytes: 5 bad\n"
                         % (n + 1, good_bytes))
        # On standard output the restore stops at the first damaged chunk.
        p = self.cat(self.store(), "bad.list")
        self.assertEqual(p.returncode, 3)
        before = sum(r[1] for r in recs[:130])
        self.assertEqual(p.stdout, data[:before])
        self.assertEqual(re.findall(r"record (\d+) \(ChunkOffset", p.stderr.decode()), ["130"])
        self.assertIn(b"holds only the first %d bytes: those of the records before record 130"
                      % before, p.stderr)

    def test_corrupted_filler_of_the_last_chunk_is_caught(self):
        # The filler bytes that complete the last chunk are not in the file,
        # but they are in its digest: damage there is caught too.
        data = random_bytes(3000, 7)
        good = self.stored(data)
        _, length, offset = parse_records(good)[-1]
        with open(self.store(), "r+b") as f:
            f.seek(offset * 64 + length)  # the first filler byte
            b = f.read(1)
            f.seek(offset * 64 + length)
            f.write(bytes([b[0] ^ 1]))
        p = self.cat(self.store(), "data.list")
        self.assertEqual(p.returncode, 3)
        self.assertIn(b"does not match", p.stderr)

    def test_missing_inputs(self):
        self.write("l", b"")
        self.assertEqual(self.cat("nostore", "l").returncode, 1)
        self.write("s", b"\xcc" * 64)
        self.assertEqual(self.cat("s", "nolist").returncode, 1)
        self.assertEqual(self.cat("s").returncode, 1)
        p = self.cat("s", "l", "-o", "nodir/out")
        self.assertEqual(p.returncode, 2)
        empty = self.cat("s", "l")
        self.assertEqual((empty.returncode, empty.stdout), (0, b""))


class Messages(ToolsTestCase):
    """The everyday failures a user meets are explained, and the waits that
    can end well are waited out."""

    def test_busy_server_is_waited_for_and_gives_up_after_the_timeout(self):
        srv = self.start_store_server()
        data = random_bytes(100000, 11)
        self.write("a", data)
        busy = connect()
        srv.wait_for("start handler", since_mark=True)
        p = self.send("--timeout", "1", "-o", "a.list", "a")
        self.assertEqual(p.returncode, 2, p.stderr)
        self.assertIn(b"the server is busy with another client; waiting for up to 1 s", p.stderr)
        self.assertIn(b"Nothing was stored; no list written", p.stderr)
        self.assertFalse(os.path.exists(self.path("a.list")))
        self.assertFalse(glob.glob(self.path("a.list*.part")))
        # Freed while chunksend waits, the server takes the files.
        sender = Running("chunksend", ["--timeout", "60", "-o", "a.list", "a"], self.folder)
        sender.wait_err(b"busy with another client; waiting")
        busy.close()
        status, out, err = sender.finish()
        self.assertEqual(status, 0, err)
        self.assertEqual(self.cat(self.store(), "a.list").stdout, data)

    def test_server_that_is_not_listening_yet_is_waited_for(self):
        self.write("a", b"still starting" * 1000)
        sender = Running("chunksend", ["--timeout", "60", "-o", "a.list", "a"], self.folder)
        sender.wait_err(b"127.0.0.1:8888 is not listening (still starting?)")
        self.start_store_server()
        status, out, err = sender.finish()
        self.assertEqual(status, 0, err)
        self.assertEqual(self.cat(self.store(), "a.list").stdout, b"still starting" * 1000)

    @unittest.skipIf(WINDOWS_PROGRAMS, "symbolic links")
    def test_list_that_cannot_be_put_in_place_stops_before_sending(self):
        srv = self.start_store_server()
        self.write("a", b"abc")
        os.mkdir(self.path("dir"))
        self.write("target", b"keep")
        os.symlink("target", self.path("link"))
        for out, why in [("dir", b"it is a directory"), ("link", b"it is not a plain file")]:
            p = self.send("-o", out, "a")
            self.assertEqual(p.returncode, 4)
            self.assertIn(b"cannot write the list %s: %s; nothing" % (out.encode(), why),
                          p.stderr)
        p = self.send("--per-file", "-o", "a", "a")
        self.assertEqual(p.returncode, 4)
        self.assertIn(b"--per-file needs an existing directory", p.stderr)
        self.assertTrue(os.path.islink(self.path("link")))
        self.assertEqual(self.read("target"), b"keep")
        self.assertEqual(srv.new_output(), "")  # no connection was made

    def test_store_and_list_that_do_not_belong(self):
        self.write("noise", random_bytes(5000, 12))
        self.write("l", rec(1, 10))
        p = self.cat("noise", "l", "-o", "out")
        self.assertEqual(p.returncode, 1)
        self.assertIn(b"noise is not a chunk store: its first 64 bytes are not the store header",
                      p.stderr)
        # A list of a larger store against a smaller one: nothing is written.
        self.write("small", b"\xcc" * 64 + b"x" * 640)
        self.write("big.list", rec(2, 60) + rec(500, 100) + rec(900, 5) + rec(7000, 64))
        for args in (["-o", "out"], []):
            p = self.cat("small", "big.list", *args)
            self.assertEqual((p.returncode, p.stdout), (3, b""))
            self.assertIn(b"big.list is not a record list of this store: 3 of its 4 records lie "
                          b"outside it", p.stderr)
        self.assertFalse(os.path.exists(self.path("out")))
        p = self.cat("--check", "small", "big.list")
        self.assertEqual(p.returncode, 3)
        self.assertIn(b"not a record list of this store", p.stderr)


def unread_in_pipe(f):
    """The bytes written into a pipe that its reader has not taken yet."""
    n = array.array("i", [0])
    fcntl.ioctl(f.fileno(), termios.FIONREAD, n)
    return n[0]


@unittest.skipIf(WINDOWS_PROGRAMS, "device nodes, FIFOs and POSIX signals")
class OutputAndInterrupts(ToolsTestCase):
    def stored(self, data):
        self.start_store_server()
        self.write("data", data)
        self.assert_ok(self.send("-q", "-o", "data.list", "data"))

    def test_file_size_limit_fails_the_restore_with_its_message(self):
        # Beyond a file-size limit (ulimit -f) a write fails; chunkcat says
        # so, exits 2 and leaves nothing behind, instead of being killed.
        data = random_bytes(300000, 16)
        self.stored(data)
        limit = 100000

        def limited():
            resource.setrlimit(resource.RLIMIT_FSIZE,
                               (limit, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
        p = subprocess.run(program("chunkcat") + [self.store(), "data.list", "-o", "out"],
                           cwd=self.folder, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           preexec_fn=limited, timeout=120)
        self.assertEqual(p.returncode, 2, p.stderr)
        self.assertRegex(p.stderr, rb"^chunkcat: writing out\S* failed: File too large; "
                                   rb"not written: out\n$")
        self.assertEqual(glob.glob(self.path("out*")), [])

    def test_output_onto_a_device_or_a_link_is_written_through_it(self):
        data = random_bytes(300000, 13)
        self.stored(data)
        dev = self.path("null")
        os.mknod(dev, 0o666 | stat.S_IFCHR, os.makedev(1, 3))  # like /dev/null
        self.assert_ok(self.cat(self.store(), "data.list", "-o", dev))
        self.assertTrue(stat.S_ISCHR(os.lstat(dev).st_mode))
        self.assertFalse(glob.glob(dev + "*.part"))
        self.write("target", b"old")
        os.symlink("target", self.path("link"))
        self.assert_ok(self.cat(self.store(), "data.list", "-o", "link"))
        self.assertTrue(os.path.islink(self.path("link")))
        self.assertEqual(self.read("target"), data)

    def test_interrupted_chunksend_leaves_no_part(self):
        # A listener that answers each connection with one record and then
        # neither reads nor closes: chunksend has begun the list (the server
        # took the transfer), its send buffers fill, and it waits.
        self.assertTrue(wait_port_free())
        holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.addCleanup(holder.close)
        holder.bind(("127.0.0.1", PORT))
        holder.listen(1)
        held = []

        def answer():
            try:
                while True:
                    conn, _ = holder.accept()
                    held.append(conn)
                    conn.sendall(rec(1, 100))
            except OSError:
                pass  # the listener was closed
        threading.Thread(target=answer, daemon=True).start()
        self.addCleanup(lambda: [c.close() for c in held])

        def stop_answering():
            try:
                holder.shutdown(socket.SHUT_RDWR)  # wakes the blocked accept
            except OSError:
                pass
        self.addCleanup(stop_answering)
        self.write("big", random_bytes(16 << 20, 14))
        os.mkdir(self.path("lists"))
        for sig, status, args in [(signal.SIGINT, 130, ["-o", "big.list"]),
                                  (signal.SIGTERM, 143, ["--per-file", "-o", "lists"])]:
            p = Running("chunksend", ["--progress"] + args + ["big"], self.folder)
            part = self.path("big.list.*.part") if sig == signal.SIGINT else \
                self.path("lists", ".chunksend.*.part")
            # The list is begun once the server has taken the transfer, and
            # its removal on a signal is arranged right after; a progress
            # line shows that the sending runs.
            end = time.time() + 60
            while not glob.glob(part) and time.time() < end:
                time.sleep(0.02)
            self.assertEqual(len(glob.glob(part)), 1)
            p.wait_err(b"MB/s")
            p.proc.send_signal(sig)
            returncode, out, err = p.finish()
            self.assertEqual(returncode, status, err)
            self.assertEqual(glob.glob(part), [])
            self.assertEqual(os.listdir(self.path("lists")), [])
            self.assertFalse(os.path.exists(self.path("big.list")))
            # The progress line is ended before the last words.
            self.assertRegex(err.decode(), r"MB/s, [^\n]*\nchunksend: %s; unfinished output "
                             r"removed\n$" % ("interrupted" if status == 130 else "terminated"))

    def test_interrupted_chunkcat_removes_its_part(self):
        self.stored(random_bytes(200000, 15))
        fifo = self.path("list.fifo")
        os.mkfifo(fifo)
        p = Running("chunkcat", ["--progress", self.store(), fifo, "-o", "out"], self.folder)
        with open(fifo, "wb") as w:
            w.write(self.read("data.list")[:42])
            w.flush()
            # The progress line comes once records are restored, after the
            # output was begun and its removal on a signal arranged.
            p.wait_err(b"MB/s")
            self.assertEqual(len(glob.glob(self.path("out.*.part"))), 1)
            p.proc.send_signal(signal.SIGINT)
            returncode, out, err = p.finish()
        self.assertEqual(returncode, 130, err)
        self.assertEqual(glob.glob(self.path("out*.part")), [])
        self.assertFalse(os.path.exists(self.path("out")))
        self.assertTrue(err.endswith(b"\nchunkcat: interrupted; unfinished output removed\n"), err)

    def test_interrupted_chunkpack_removes_its_part(self):
        self.stored(random_bytes(200000, 17))
        self.write("empty.list", b"")
        for sig, status, word in [(signal.SIGINT, 130, b"interrupted"),
                                  (signal.SIGTERM, 143, b"terminated")]:
            fifo = self.path("newer.fifo")
            os.mkfifo(fifo)
            p = Running("chunkpack", [self.store(), "empty.list", fifo, "out.pack"], self.folder)
            with open(fifo, "wb") as w:
                # chunkpack opens the lists, creates its temporary file and
                # arranges its removal on a signal, and only then reads the
                # lists: once it has taken these bytes out of the pipe, the
                # removal is arranged. The list stays open and unfinished.
                w.write(self.read("data.list")[:42])
                w.flush()
                end = time.time() + 60
                while unread_in_pipe(w) > 0 and time.time() < end:
                    time.sleep(0.01)
                self.assertEqual(unread_in_pipe(w), 0)
                self.assertEqual(len(glob.glob(self.path("out.pack.*.part"))), 1)
                p.proc.send_signal(sig)
                returncode, out, err = p.finish()
            os.remove(fifo)
            self.assertEqual(returncode, status, err)
            self.assertEqual(glob.glob(self.path("out.pack*")), [])
            self.assertEqual(err, b"chunkpack: %s; unfinished output removed\n" % word)


class TemporaryFiles(ToolsTestCase):
    """Each run writes its output under a temporary name of its own, and
    never removes, renames or writes a file it did not create: two runs with
    the same output name do not spoil each other's work."""

    def foreign(self, *names):
        """Files standing for another run's half-written temporaries, under
        the names this run could otherwise choose."""
        for name in names:
            self.write(name, b"another run's bytes")
        return names

    def assert_untouched(self, names, before, *made):
        for name in names:
            self.assertEqual(self.read(name), b"another run's bytes", name)
        # Besides what the run made, no file is left (no temporary of its own).
        self.assertEqual(sorted(os.listdir(self.folder)), sorted(before + list(made)))

    def test_runs_never_touch_a_temporary_file_they_did_not_make(self):
        srv = self.start_store_server()
        data = random_bytes(300000, 40)
        self.write("a", data)
        os.mkdir(self.path("lists"))
        theirs = self.foreign("a.list.part", "lists/.chunksend.part", "lists/a.list.part",
                              "out.part", "un.part", "busy.list.part")
        before = os.listdir(self.folder)

        # Turned away as busy, chunksend neither makes nor removes a file.
        busy = connect()
        srv.wait_for("start handler", since_mark=True)
        p = self.send("--timeout", "1", "-o", "busy.list", "a")
        self.assertEqual(p.returncode, 2, p.stderr)
        self.assert_untouched(theirs, before)
        closed = srv.stdout().count("closing")
        busy.close()
        # The place is free once the server has closed the busy connection.
        srv.wait_for("closing", count=closed + 1)

        self.assert_ok(self.send("-o", "a.list", "a"))
        self.assert_untouched(theirs, before, "a.list")
        self.assert_ok(self.send("--per-file", "-o", "lists", "a"))
        self.assertEqual(sorted(os.listdir(self.path("lists"))),
                         [".chunksend.part", "a.list", "a.list.part"])
        self.assertEqual(self.read("lists/a.list"), self.read("a.list"))

        self.assert_ok(self.cat(self.store(), "a.list", "-o", "out"))
        self.assertEqual(self.read("out"), data)
        self.write("empty.list", b"")
        p = run_program("chunkpack", [self.store(), "empty.list", "a.list", "a.pack"],
                        cwd=self.folder)
        self.assertEqual(p.returncode, 0, p.stderr)
        p = run_program("chunkunpack", [self.store(), "a.list", "a.pack", "-o", "un"],
                        cwd=self.folder)
        self.assertEqual((p.returncode, p.stderr), (0, b""))
        self.assertEqual(self.read("un"), data)
        self.assert_untouched(theirs, before, "a.list", "out", "empty.list", "a.pack", "un")

        # A failed run removes its own temporary file, and only that.
        self.write("bad.list", rec(1, 10))
        p = self.cat(self.store(), "bad.list", "-o", "out")
        self.assertEqual(p.returncode, 3)
        self.assertEqual(self.read("out"), data)
        self.assert_untouched(theirs, before, "a.list", "out", "empty.list", "a.pack", "un",
                              "bad.list")


class Figures(ToolsTestCase):
    def test_summary_tells_what_the_store_already_held(self):
        self.start_store_server()
        data = random_bytes(3 << 20, 16)
        self.write("a", data)
        self.write("b", data[: 1 << 20])
        before = os.path.getsize(self.store())
        p = self.send("--store", self.store(), "--json", "-o", "a.list", "a")
        self.assertEqual(p.returncode, 0, p.stderr)
        grew = os.path.getsize(self.store()) - before
        fig = json.loads(p.stdout)
        self.assertEqual((fig["files"], fig["bytes_sent"], fig["records"], fig["store_grew_by"]),
                         (1, len(data), os.path.getsize(self.path("a.list")) // 21, grew))
        self.assertEqual(fig["already_stored_percent"], 0.0)
        self.assertRegex(p.stderr.decode(), r"^chunksend: 1 file, %d bytes sent, %d records; "
                         r"store grew by %d bytes, 0\.00%% of the data was stored already; "
                         r"[\d.]+ s, [\d.]+ MB/s\n$" % (len(data), fig["records"], grew))
        # The same bytes again, and a prefix: nothing new but the last chunk
        # of the prefix, which ends where no chunk of the whole file ended.
        p = self.send("--store", self.store(), "--json", "-q", "-o", "ab.list", "a", "b")
        self.assertEqual((p.returncode, p.stderr), (0, b""))
        fig = json.loads(p.stdout)
        self.assertEqual(fig["files"], 2)
        self.assertGreater(fig["already_stored_percent"], 95.0)
        self.assertLess(fig["already_stored_percent"], 100.0)
        self.assertGreater(fig["store_grew_by"], 0)
        self.assertLess(fig["store_grew_by"], 70000)

    def test_forced_progress_shows_total_percent_and_name(self):
        self.start_store_server()
        data = random_bytes(1 << 20, 17)
        self.write("a", data)
        p = self.send("--progress", "-o", "a.list", "a")
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertRegex(p.stderr.decode(), r"\rchunksend: [\d.]+ of 1\.0 MB \(100%\), "
                         r"[\d.]+ MB/s, (0:00|\?) left, done *\nchunksend: 1 file")
        p = self.cat("--progress", self.store(), "a.list", "-o", "out")
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertRegex(p.stderr.decode(), r"^(\rchunkcat: [^\r\n]*)*\rchunkcat: 1\.0 of 1\.0 "
                         r"MB \(100%\), [\d.]+ MB/s, ([\d:]+|\?) left, out *\n$")
        self.assertEqual(self.read("out"), data)
        # Not a terminal and not forced: no progress.
        self.assertEqual(self.cat(self.store(), "a.list", "-o", "out2").stderr, b"")


if __name__ == "__main__":
    unittest.main()
