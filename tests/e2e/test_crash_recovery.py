"""chunkstore killed with SIGKILL while it stores a stream of large files, at
20 seeded points, and restarted on the same store each time. After every
restart: each record the client received before the kill restores byte for
byte; sending the same files again (with chunksend) appends only the chunks
the store lacks, and every record restores; nothing stored before is ever
changed. Some trials leave a torn tail of stray bytes, as a write cut short
by a crash would."""
import os
import random
import signal
import socket
import struct
import threading
import unittest

from harness import (RECORD_SIZE, STORE_NAME, UNDER_WINE, ScratchTestCase, connect,
                     file_command, parse_records, run_program, split_records)
from store_model import full_length

SEED = 2026
TRIALS = 20


def padded_size(n):
    return (n + 63) // 64 * 64


class Stream:
    """The files of one trial: two shared by every trial and one new file
    each, the new one between them so that kills fall into appends as well
    as into chunks the store already holds."""

    def __init__(self, common, unique):
        self.files = [common[0], unique, common[1]]
        self.bytes = b"".join(self.files)


def record_key(rec):
    return rec[0], rec[1]


class CrashRecovery(ScratchTestCase):
    def setUp(self):
        super().setUp()
        self.store_dir = os.path.join(self.folder, "store")
        os.mkdir(self.store_dir)
        self.store_path = os.path.join(self.store_dir, STORE_NAME)
        self.where = {}      # (digest, real length) -> ChunkOffset, of every record seen
        self.extent = {}     # ChunkOffset -> padded size of the chunk stored there
        self.trial_log = []

    # ---- helpers ---------------------------------------------------------

    def path(self, name):
        return os.path.join(self.folder, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def store_bytes(self):
        with open(self.store_path, "rb") as f:
            return f.read()

    def restore_with_chunkcat(self, list_bytes, name):
        self.write(name + ".list", list_bytes)
        p = run_program("chunkcat", [self.store_path, self.path(name + ".list"),
                                     "-o", self.path(name + ".out")], cwd=self.folder)
        self.assertEqual(p.returncode, 0, p.stderr)
        with open(self.path(name + ".out"), "rb") as f:
            return f.read()

    def learn(self, recs, stream):
        """Enters records (in stream order from the stream's start) into the
        map of what lies where; a chunk already known at another place
        means it was stored twice."""
        stream_bytes = stream.bytes
        file_ends, end = set(), 0
        for f in stream.files:
            end += len(f)
            file_ends.add(end)
        pos = 0
        for digest, real, off in recs:
            last_before = stream_bytes[pos - 1] if pos else 0
            key = (digest, real)
            if key in self.where:
                self.assertEqual(self.where[key], off,
                                 "a chunk already stored at %d was stored again at %d"
                                 % (self.where[key], off))
            else:
                self.where[key] = off
                # Only a chunk that reaches the end of its file can hold
                # filler after its real bytes.
                full = real
                if real < 100 or pos + real in file_ends:
                    full = full_length(stream_bytes[pos:pos + real], last_before)
                if off not in self.extent:
                    self.extent[off] = padded_size(full)
            pos += real

    def send_and_kill(self, srv, stream, kill_at):
        """Sends the stream on one connection, keeping every byte of reply,
        and kills the server once kill_at records have come back (or when
        the reply is complete, if there are fewer). Returns the complete
        records received before the kill."""
        cmds = b"".join(file_command(f) for f in stream.files)
        s = connect()
        reply = []
        received = [0]
        enough = threading.Event()

        def read():
            try:
                while not enough.is_set():
                    b = s.recv(1 << 16)
                    if not b:
                        break
                    reply.append(b)
                    received[0] += len(b)
                    if received[0] >= kill_at * RECORD_SIZE:
                        break
            except OSError:
                pass
            enough.set()

        def send():
            try:
                for i in range(0, len(cmds), 1 << 16):
                    if enough.is_set():
                        return
                    s.sendall(cmds[i:i + (1 << 16)])
                s.shutdown(socket.SHUT_WR)
            except OSError:
                pass
        s.settimeout(60)
        reader = threading.Thread(target=read)
        sender = threading.Thread(target=send)
        reader.start()
        sender.start()
        enough.wait(120)
        os.kill(srv.proc.pid, signal.SIGKILL)
        srv.proc.wait()
        reader.join(60)
        sender.join(60)
        s.close()
        got = b"".join(reply)
        return parse_records(got[:len(got) // RECORD_SIZE * RECORD_SIZE])

    def check_layout(self, size):
        """Every stored byte after the header belongs to a chunk some record
        names, padded, back to back; the only exceptions are the torn tails
        left by kills, each shorter than two of the longest chunks."""
        pos, gaps = 64, []
        offsets = sorted(self.extent)
        i = 0
        while pos < size:
            while i < len(offsets) and offsets[i] * 64 < pos:
                i += 1
            if i < len(offsets) and offsets[i] * 64 == pos:
                pos += self.extent[offsets[i]]
                i += 1
                continue
            nxt = offsets[i] * 64 if i < len(offsets) else size
            gaps.append((pos, nxt - pos))
            pos = nxt
        self.assertEqual(pos, size)
        for start, length in gaps:
            self.assertLess(length, 2 * 65536, "unnamed bytes at %d: %d" % (start, length))
        self.assertLessEqual(len(gaps), len(self.trial_log), "%r %r" % (gaps, self.trial_log))
        return gaps

    # ---- the test --------------------------------------------------------

    def test_kills_at_twenty_points(self):
        rng = random.Random(SEED)
        scale = 4 if UNDER_WINE else 1  # Wine is slower: smaller files
        mb = (1 << 20) // scale
        c1 = rng.randbytes(mb)
        common = [c1, rng.randbytes(mb // 2) + c1[:mb // 4]]
        trials = 5 if UNDER_WINE else TRIALS
        total_lost_tail = 0
        for t in range(trials):
            stream = Stream(common, rng.randbytes(mb // 2))
            names = []
            for k, f in enumerate(stream.files):
                names.append(self.write("t%d.%d" % (t, k), f))
            # About one record per 280 bytes.
            kill_at = 0 if t == 0 else rng.randrange(len(stream.bytes) // 280)
            stray = rng.randbytes(rng.randrange(1, 40)) if rng.random() < 0.35 else b""

            before = self.store_bytes() if os.path.exists(self.store_path) else b""
            srv = self.start_server(folder=self.store_dir)
            recs = self.send_and_kill(srv, stream, kill_at)
            if stray:
                with open(self.store_path, "ab") as f:
                    f.write(stray)
            killed = self.store_bytes()
            self.assertTrue(killed.startswith(before), "trial %d: stored bytes changed" % t)
            self.trial_log.append((kill_at, len(recs), len(killed) - len(before), len(stray)))

            srv = self.start_server(folder=self.store_dir)
            # What the client held before the kill restores.
            got = self.restore_with_chunkcat(b"".join(
                d + struct.pack("<HIB", n, o & 0xFFFFFFFF, o >> 32) for d, n, o in recs),
                "t%d.before" % t)
            self.assertEqual(got, stream.bytes[:len(got)])
            self.assertEqual(len(got), sum(n for _, n, _ in recs))
            self.learn(recs, stream)

            # The same files again: the transfer completes, only what is
            # missing is appended, and everything restores.
            p = run_program("chunksend", ["-q", "-o", self.path("t%d.list" % t)] + names,
                            cwd=self.folder)
            self.assertEqual((p.returncode, p.stderr), (0, b""))
            with open(self.path("t%d.list" % t), "rb") as f:
                listed = f.read()
            after = self.store_bytes()
            self.assertTrue(after.startswith(killed), "trial %d: stored bytes changed" % t)
            if len(after) > len(killed):  # a torn tail is padded at the next append
                self.assertEqual(len(after) % 64, 0)
            self.assertEqual(self.restore_with_chunkcat(listed, "t%d.after" % t), stream.bytes)
            per_file = split_records(listed, [len(f) for f in stream.files])
            self.learn([r for recs_f in per_file for r in recs_f], stream)
            gaps = self.check_layout(len(after))
            srv.stop()
            total_lost_tail = sum(length for _, length in gaps)
        print("\n%d trials killed and restarted; store %d bytes, %d bytes in torn tails; "
              "(kill point, records held, bytes appended before the kill, stray bytes): %r"
              % (trials, len(self.store_bytes()), total_lost_tail, self.trial_log))


if __name__ == "__main__":
    unittest.main()
