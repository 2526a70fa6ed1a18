"""Writes that fail because the disk is full, on a small tmpfs that the test
mounts in a mount namespace of its own: chunkstore stops with a message and
status 3 without handing out a record for a chunk it could not write, and
starts cleanly on the same store once there is room again; chunkpack exits
3 and chunkcat -o exits 2, leaving nothing under the output's name."""
import ctypes
import glob
import os
import random
import re
import socket
import subprocess
import threading
import time
import unittest

from harness import (PRIVATE_NETWORK, RUNNER, STORE_NAME, ScratchTestCase, Server, connect,
                     file_command,
                     parse_records, restore, run_program, split_records, store_files)

CLONE_NEWNS = 0x00020000


def own_lines(err):
    """A program's stderr without the notes a sanitizer runtime adds."""
    if isinstance(err, bytes):
        return re.sub(rb"(?m)^==\d+==WARNING: ASan.*\n", b"", err)
    return re.sub(r"(?m)^==\d+==WARNING: ASan.*\n", "", err)


def _private_mounts():
    """Moves this test process into a mount namespace of its own, so that
    the file systems it mounts are seen by it and its children only."""
    if not PRIVATE_NETWORK or RUNNER:
        return False
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNS) != 0:
        return False
    return subprocess.run(["mount", "--make-rprivate", "/"]).returncode == 0


PRIVATE_MOUNTS = _private_mounts()


@unittest.skipUnless(PRIVATE_MOUNTS, "needs root for a private mount namespace with a small "
                     "tmpfs, and the Linux programs (the Wine leg shares the host's mounts)")
class FullDisk(ScratchTestCase):
    def small_fs(self, name, size):
        path = os.path.join(self.folder, name)
        os.mkdir(path)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d" % size, "tmpfs", path], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", path])
        return path

    def start_server_on(self, fs, name):
        """A server with its store on `fs` and its log beside the test's
        files, where there is room for it."""
        srv = Server(fs)
        srv.out_path = os.path.join(self.folder, name + ".stdout")
        srv.err_path = os.path.join(self.folder, name + ".stderr")
        self.servers.append(srv)
        self.addCleanup(srv.stop)
        return srv.start()

    def fill(self, fs, leave):
        """Fills a file system until only about `leave` bytes are free."""
        st = os.statvfs(fs)
        free = st.f_bavail * st.f_frsize
        with open(os.path.join(fs, "ballast"), "wb") as f:
            f.write(b"\0" * max(0, free - leave))

    def test_server_store_on_a_full_disk(self):
        fs = self.small_fs("store", 2 << 20)
        data = random.Random(1).randbytes(6 << 20)
        srv = self.start_server_on(fs, "first")
        s = connect()
        reply = []
        got_some = threading.Event()

        def read():
            try:
                while True:
                    b = s.recv(1 << 16)
                    if not b:
                        return
                    reply.append(b)
                    if sum(map(len, reply)) > 101 * 21:
                        got_some.set()
            except OSError:
                pass
            finally:
                got_some.set()
        reader = threading.Thread(target=read)
        reader.start()
        # The first megabyte, then a wait for its records (the server syncs
        # when the client pauses; records of unsynced chunks never leave),
        # so that the client holds records when the disk fills.
        command = file_command(data)
        try:
            s.sendall(command[:1 << 20])
            self.assertTrue(got_some.wait(60))
            s.sendall(command[1 << 20:])
        except OSError:
            pass  # the server is gone before it has taken everything
        self.assertEqual(srv.wait_exit(), 3)
        reader.join(30)
        s.close()
        err = own_lines(srv.stderr())
        self.assertRegex(err, r'^chunkstore: cannot append chunks at byte \d+ of "\$dump": '
                              r'No space left on device; exiting\n$')
        with open(os.path.join(fs, STORE_NAME), "rb") as f:
            full_store = store = f.read()
        written = len(store)
        self.assertGreater(written, 1 << 20)
        got = b"".join(reply)
        recs = parse_records(got[:len(got) // 21 * 21])
        # Every record the client got names a chunk that is in the store.
        self.assertGreater(len(recs), 100)
        self.assertEqual(restore(store, recs), data[:sum(n for _, n, _ in recs)])
        for _, n, off in recs:
            self.assertLessEqual(off * 64 + n, written)

        # With room again, the server starts on the same store, every record
        # held still restores, and the whole file can be stored.
        subprocess.run(["mount", "-o", "remount,size=%d" % (24 << 20), fs], check=True)
        self.start_server_on(fs, "second")
        again, = store_files([data])
        with open(os.path.join(fs, STORE_NAME), "rb") as f:
            store = f.read()
        self.assertTrue(store.startswith(full_store))
        self.assertEqual(restore(store, again), data)
        self.assertEqual(restore(store, recs), data[:sum(n for _, n, _ in recs)])
        # The chunks stored before the disk was full were found again.
        self.assertEqual(again[:len(recs) - 1], recs[:len(recs) - 1])
        print("\n%d bytes written until the disk was full; %d records held, all restored"
              % (written, len(recs)))

    def make_store_and_list(self):
        os.mkdir(os.path.join(self.folder, "store"))
        srv = self.start_server(folder=os.path.join(self.folder, "store"))
        data = random.Random(2).randbytes(1 << 20)
        recs, = store_files([data])
        srv.stop()
        store = os.path.join(self.folder, "store", STORE_NAME)
        lst = os.path.join(self.folder, "data.list")
        with open(lst, "wb") as f:
            f.write(b"".join(d + n.to_bytes(2, "little") + o.to_bytes(5, "little")
                             for d, n, o in recs))
        empty = os.path.join(self.folder, "empty.list")
        open(empty, "wb").close()
        return data, store, lst, empty

    def test_chunkpack_and_chunkcat_on_a_full_disk(self):
        data, store, lst, empty = self.make_store_and_list()
        fs = self.small_fs("out", 4 << 20)
        self.fill(fs, 64 << 10)

        # Every chunk is a literal against an empty older list: the pack
        # needs more than the megabyte of the file.
        pack = os.path.join(fs, "new.pack")
        p = run_program("chunkpack", [store, empty, lst, pack], cwd=self.folder)
        self.assertEqual(p.returncode, 3)
        self.assertIn(b"chunkpack: writing %s failed: No space left on device" % pack.encode(),
                      p.stderr)
        self.assertFalse(os.path.exists(pack))
        self.assertFalse(glob.glob(pack + "*.part"))

        out = os.path.join(fs, "restored")
        p = run_program("chunkcat", [store, lst, "-o", out], cwd=self.folder)
        self.assertEqual(p.returncode, 2)
        self.assertIn(b"No space left on device", p.stderr)
        self.assertFalse(os.path.exists(out))
        self.assertFalse(glob.glob(out + "*.part"))

        # The same commands succeed once there is room.
        os.remove(os.path.join(fs, "ballast"))
        p = run_program("chunkcat", [store, lst, "-o", out], cwd=self.folder)
        self.assertEqual((p.returncode, own_lines(p.stderr)), (0, b""))
        with open(out, "rb") as f:
            self.assertEqual(f.read(), data)
        p = run_program("chunkpack", [store, empty, lst, pack], cwd=self.folder)
        self.assertEqual((p.returncode, own_lines(p.stderr)), (0, b""))
        self.assertGreater(os.path.getsize(pack), len(data))


if __name__ == "__main__":
    unittest.main()
