"""Pipes end to end: chunksend takes standard input ("-") in pieces of a
fixed size, whose list restores the stream byte for byte; a directory tree
goes through tar, chunksend, chunkcat and tar again and compares equal; the
restoring tools stop with their output status, and a message, when the
reader of their standard output goes away."""
import glob
import os
import random
import re
import shutil
import subprocess
import unittest

from harness import (WINDOWS_PROGRAMS, Running, connect, parse_records, program, run_program,
                     text_lines)
from test_tools import ToolsTestCase, random_bytes

MIB = 1 << 20


class ClosedPipe(ToolsTestCase):
    def read_prefix_then_close(self, name, args, n=100):
        """Runs NAME ARGS | head -c n; returns (NAME's status, what head
        printed, NAME's stderr)."""
        tool = subprocess.Popen(program(name) + args, cwd=self.folder, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        head = subprocess.Popen(["head", "-c", str(n)], stdin=tool.stdout,
                                stdout=subprocess.PIPE)
        tool.stdout.close()  # head holds the only reading end
        prefix = head.communicate(timeout=300)[0]
        err = tool.stderr.read()
        tool.stderr.close()
        return tool.wait(timeout=300), prefix, err

    def test_restoring_tools_stop_with_status_2_when_the_reader_goes_away(self):
        # Far more than a pipe holds: the tools are still writing when head
        # has taken its 100 bytes and gone.
        self.start_store_server()
        v1 = random_bytes(6 * MIB, 41)
        v2 = v1[:3 * MIB] + b"version 2" + v1[3 * MIB:]
        self.write("v1", v1)
        self.write("v2", v2)
        self.assert_ok(self.send("-q", "-o", "v1.list", "v1"))
        shutil.copyfile(self.store(), self.path("copy"))
        self.assert_ok(self.send("-q", "-o", "v2.list", "v2"))
        p = run_program("chunkpack", [self.store(), "v1.list", "v2.list", "v2.pack"],
                        cwd=self.folder)
        self.assertEqual(p.returncode, 0, p.stderr)

        runs = [("chunkcat", [self.store(), "v2.list"]),
                ("chunkcat", ["--no-verify", self.store(), "v2.list"]),
                ("chunkunpack", ["copy", "v2.list", "v2.pack"])]
        for name, args in runs:
            status, prefix, err = self.read_prefix_then_close(name, args)
            self.assertEqual(prefix, v2[:100], args)
            # Not killed by SIGPIPE (-13), not a success: the output status.
            self.assertEqual(status, 2, (args, err))
            reason = rb".+" if WINDOWS_PROGRAMS else rb"Broken pipe"
            self.assertRegex(err, rb"^%s: writing standard output failed: %s\n$" %
                             (name.encode(), reason))


class StandardInput(ToolsTestCase):
    def send_stdin(self, data, *args):
        return run_program("chunksend", list(args), cwd=self.folder, timeout=300, input=data)

    def piece_lengths(self, srv):
        """The lengths of the "file" commands the server took since its mark."""
        return [int(n) for n in re.findall(r"^fl=(\d+)$", srv.new_output(), re.M)]

    def test_stream_goes_in_pieces_whose_list_restores_it(self):
        srv = self.start_store_server()
        stream = random_bytes(3 * MIB + 12345, 51)
        cases = [("empty", b"", [0]),
                 ("one byte", stream[:1], [1]),
                 ("just under a piece", stream[:MIB - 1], [MIB - 1]),
                 # Ends on a piece boundary: no empty piece after it.
                 ("one piece", stream[:MIB], [MIB]),
                 ("one byte over", stream[:MIB + 1], [MIB, 1]),
                 ("several", stream, [MIB, MIB, MIB, 12345])]
        for what, data, pieces in cases:
            srv.mark = len(srv.stdout())
            p = self.send_stdin(data, "--piece-size", "1", "-o", "s.list", "-")
            self.assert_ok(p)
            # The stream is one input, however many pieces it took.
            self.assertIn(b"chunksend: 1 file, %d bytes sent" % len(data), p.stderr, what)
            srv.wait_for("closing ", since_mark=True)
            self.assertEqual(self.piece_lengths(srv), pieces, what)
            # Each piece is a file of its own: its records cover it exactly.
            recs = parse_records(self.read("s.list"))
            ends, at = set(), 0
            for _, length, _ in recs:
                at += length
                ends.add(at)
            for k in range(1, len(pieces)):
                self.assertIn(sum(pieces[:k]), ends, what)
            r = self.cat(self.store(), "s.list")
            self.assertEqual((r.returncode, r.stdout == data), (0, True), (what, r.stderr))

        # Among named files, in the order given; the default piece size.
        self.write("a", stream[:5000])
        self.write("b", b"after the stream")
        srv.mark = len(srv.stdout())
        p = self.send_stdin(stream, "-o", "mixed.list", "a", "-", "b")
        self.assert_ok(p)
        self.assertIn(b"chunksend: 3 files, %d bytes sent" % (len(stream) + 5016), p.stderr)
        srv.wait_for("closing ", since_mark=True)
        self.assertEqual(self.piece_lengths(srv), [5000, len(stream), 16])
        self.assertEqual(self.cat(self.store(), "mixed.list").stdout,
                         stream[:5000] + stream + b"after the stream")

    def test_standard_input_once_and_not_per_file(self):
        os.mkdir(self.path("lists"))
        for args, why in [(["-o", "x.list", "-", "-"], b"can be read only once"),
                          (["--per-file", "-o", "lists", "-"], b"cannot go with --per-file"),
                          (["--piece-size", "0", "-o", "x.list", "-"], b"--piece-size needs"),
                          (["--piece-size", "1025", "-o", "x.list", "-"], b"--piece-size needs")]:
            p = self.send_stdin(b"data", *args)
            self.assertEqual(p.returncode, 1, args)
            self.assertIn(why, p.stderr)
        self.assertEqual(os.listdir(self.path("lists")), [])
        self.assertFalse(os.path.exists(self.path("x.list")))

    @unittest.skipIf(WINDOWS_PROGRAMS, "a directory as standard input")
    def test_unreadable_standard_input_fails_the_transfer(self):
        self.start_store_server()
        fd = os.open(self.folder, os.O_RDONLY)
        try:
            p = run_program("chunksend", ["-o", "x.list", "-"], cwd=self.folder, stdin=fd)
        finally:
            os.close(fd)
        self.assertEqual(p.returncode, 3, p.stderr)
        self.assertIn(b"chunksend: reading standard input failed after 0 bytes: Is a directory\n",
                      p.stderr)
        self.assertIn(b"no list written", p.stderr)
        self.assertEqual(glob.glob(self.path("x.list*")), [])

    def test_busy_server_gets_the_first_piece_again(self):
        # Turned away as busy, chunksend sends the stream again from its
        # piece buffer: standard input cannot be read twice.
        srv = self.start_store_server()
        data = random_bytes(300000, 52)
        self.write("in", data)
        busy = connect()
        srv.wait_for("start handler", since_mark=True)
        with open(self.path("in"), "rb") as f:
            sender = Running("chunksend", ["--timeout", "60", "-o", "s.list", "-"], self.folder,
                             stdin=f)
            sender.wait_err(b"busy with another client; waiting")
            busy.close()
            status, out, err = sender.finish()
        self.assertEqual(status, 0, err)
        self.assertEqual(self.cat(self.store(), "s.list").stdout, data)


class TreeThroughTar(ToolsTestCase):
    def make_tree(self, root):
        """A few MB in nested folders: random and repeated files, an empty
        file and an empty folder, names with blanks."""
        rnd = random.Random(61)
        os.makedirs(os.path.join(root, "src", "deep", "deeper"))
        os.makedirs(os.path.join(root, "empty dir"))
        shared = random_bytes(200000, 62)
        for i in range(40):
            folder = ["src", "src/deep", "src/deep/deeper", "."][i % 4]
            size = rnd.randrange(1, 300000)
            data = random_bytes(size, 100 + i) if i % 3 else shared + bytes([i]) * (size % 5000)
            with open(os.path.join(root, folder, "file %02d.bin" % i), "wb") as f:
                f.write(data)
        open(os.path.join(root, "src", "empty"), "wb").close()

    def pipe(self, producer, consumer):
        """producer | consumer; returns both statuses and the consumer's
        stderr (the producer's goes to the test's log)."""
        a = subprocess.Popen(producer, cwd=self.folder, stdout=subprocess.PIPE)
        b = subprocess.Popen(consumer, cwd=self.folder, stdin=a.stdout,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        a.stdout.close()
        out, err = b.communicate(timeout=300)
        return a.wait(timeout=300), b.returncode, out, text_lines(err)

    @unittest.skipUnless(shutil.which("tar") and shutil.which("diff"), "tar and diff")
    def test_directory_tree_comes_back_through_tar(self):
        self.start_store_server()
        tree, back = self.path("tree"), self.path("back")
        self.make_tree(tree)
        os.mkdir(back)
        # Pieces of 1 MiB: the tar stream of a few MB crosses several.
        a, b, _, err = self.pipe(["tar", "-C", tree, "-cf", "-", "."],
                                 program("chunksend") + ["--piece-size", "1", "--store",
                                                         self.store(), "-o", "dir.list", "-"])
        self.assertEqual((a, b), (0, 0), err)
        self.assertRegex(err.decode(), r"^chunksend: 1 file, \d+ bytes sent, \d+ records; store "
                         r"grew by \d+ bytes")
        sent = int(re.search(rb"(\d+) bytes sent", err).group(1))
        self.assertGreater(sent, 3 * MIB)
        a, b, _, err = self.pipe(program("chunkcat") + [self.store(), "dir.list"],
                                 ["tar", "-C", back, "-xf", "-"])
        self.assertEqual((a, b), (0, 0), err)
        d = subprocess.run(["diff", "-r", tree, back], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT)
        self.assertEqual((d.returncode, d.stdout), (0, b""))
        self.assertTrue(os.path.isdir(os.path.join(back, "empty dir")))


if __name__ == "__main__":
    unittest.main()
