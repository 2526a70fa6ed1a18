"""Power cuts, as far as a test can make one: chunkstore runs with a
preloaded library that logs the store's size at every completed sync of
"$dump"; a client streams files; the server is killed with SIGKILL at a
seeded moment (once the client holds a seeded number of records, at the
first moment after that when the store holds bytes no sync has covered,
if it comes), and the store is cut back to its size at the last sync, which is what a power loss
may leave of an append-only file whose later writes were still in the
system's cache. After a restart every record the client received restores
byte for byte, and sending the same files again stores what the cut took.
Between cuts the test syncs the store itself, so a cut never reaches back
before the trial it ends."""
import os
import random
import signal
import socket
import threading
import time
import unittest

from harness import (BIN_DIR, RECORD_SIZE, RUNNER, SANITIZED, STORE_NAME, ScratchTestCase,
                     connect, file_command, parse_records, restore, run_program, split_records)

SHIM = os.path.join(BIN_DIR, "sync_log_shim.so")
SEED = 2027
CUTS = 24


@unittest.skipUnless(not RUNNER and os.path.exists(SHIM),
                     "needs the Linux programs and the sync-logging preload library")
class PowerCut(ScratchTestCase):
    def setUp(self):
        super().setUp()
        self.store_dir = os.path.join(self.folder, "store")
        os.mkdir(self.store_dir)
        self.store_path = os.path.join(self.store_dir, STORE_NAME)
        self.sync_log = os.path.join(self.folder, "syncs.log")

    def path(self, name):
        return os.path.join(self.folder, name)

    def store_bytes(self):
        with open(self.store_path, "rb") as f:
            return f.read()

    def start_logged_server(self):
        env = dict(os.environ, LD_PRELOAD=SHIM, CHUNK_SYNC_TEST_LOG=self.sync_log,
                   # A sanitized build's runtime wants to come first; the
                   # library only wraps fdatasync and fsync.
                   ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
        return self.start_server(folder=self.store_dir, env=env)

    def last_synced_size(self):
        if not os.path.exists(self.sync_log):
            return None
        with open(self.sync_log) as f:
            sizes = [int(line.split()[1]) for line in f if line.startswith("synced ")]
        return sizes[-1] if sizes else None

    def sync_in_flight(self):
        """Whether the log's last line is a sync started on the kernel's
        I/O ring and not yet seen complete."""
        if not os.path.exists(self.sync_log):
            return False
        with open(self.sync_log) as f:
            lines = f.read().split("\n")
        lines = [line for line in lines if line]
        return bool(lines) and lines[-1].startswith("started ")

    def ring_used(self):
        if not os.path.exists(self.sync_log):
            return False
        with open(self.sync_log) as f:
            return any(line.startswith("started ") for line in f)

    def unsynced(self):
        return os.path.getsize(self.store_path) - (self.last_synced_size() or 0)

    @staticmethod
    def stop(pid):
        """SIGSTOP, and waits until the process has stopped (state T)."""
        os.kill(pid, signal.SIGSTOP)
        while True:
            with open("/proc/%d/stat" % pid) as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
            if state in ("T", "t", "Z", "X"):
                return
            time.sleep(0.001)

    def stop_while_unsynced(self, pid):
        """Stops the server (SIGSTOP) at a moment when the store holds bytes
        that no sync has covered yet, so that the kill that follows finds
        some: a stopped server cannot sync. While it has none, it is let go
        on until its store grows again; a server that has nothing more to
        append (its input all stored and synced) is left stopped as it is.
        A sync's log line is written in one call before the sync returns,
        so a stopped server's log shows every sync its records could have
        been sent after."""
        self.stop(pid)
        for _ in range(200):
            if self.unsynced() > 0:
                return
            size = os.path.getsize(self.store_path)
            os.kill(pid, signal.SIGCONT)
            end = time.time() + 1
            while os.path.getsize(self.store_path) == size and time.time() < end:
                time.sleep(0.001)
            self.stop(pid)
            if os.path.getsize(self.store_path) == size:
                return  # it appends no more

    def send_and_kill(self, srv, files, kill_at):
        """Streams the files on one connection and kills the server once
        kill_at records have come back (or the reply is complete). Returns
        the complete records the client received."""
        cmds = b"".join(file_command(f) for f in files)
        s = connect()
        s.settimeout(60)
        reply = []
        enough = threading.Event()

        def read():
            got = 0
            try:
                while got < kill_at * RECORD_SIZE:
                    b = s.recv(1 << 16)
                    if not b:
                        break
                    reply.append(b)
                    got += len(b)
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
        reader = threading.Thread(target=read)
        sender = threading.Thread(target=send)
        reader.start()
        sender.start()
        self.assertTrue(enough.wait(120))
        self.stop_while_unsynced(srv.proc.pid)
        os.kill(srv.proc.pid, signal.SIGKILL)
        srv.proc.wait()
        reader.join(60)
        sender.join(60)
        s.close()
        got = b"".join(reply)
        return parse_records(got[:len(got) // RECORD_SIZE * RECORD_SIZE])

    def test_records_survive_power_cuts_at_seeded_moments(self):
        rng = random.Random(SEED)
        common = rng.randbytes(384 << 10)
        baseline = 0  # the store's size that the test itself synced
        log = []      # (records held, bytes appended before the kill, bytes cut)
        in_flight = 0  # kills while a sync on the kernel's I/O ring was in flight
        ring = False
        for t in range(CUTS):
            files = [common, rng.randbytes(1 << 20), common[:128 << 10] + rng.randbytes(64 << 10)]
            stream = b"".join(files)
            names = []
            for k, data in enumerate(files):
                names.append(self.path("t%d.%d" % (t, k)))
                with open(names[-1], "wb") as f:
                    f.write(data)
            # About one record per 280 bytes of new data.
            kill_at = rng.randrange(1, (1 << 20) // 280)
            if os.path.exists(self.sync_log):
                os.remove(self.sync_log)

            srv = self.start_logged_server()
            recs = self.send_and_kill(srv, files, kill_at)
            killed = os.path.getsize(self.store_path)
            in_flight += self.sync_in_flight()
            ring = ring or self.ring_used()
            synced = max(baseline, self.last_synced_size() or 0)
            self.assertLessEqual(synced, killed)
            # The power cut: what was appended after the last sync is gone.
            os.truncate(self.store_path, synced)
            log.append((len(recs), killed - baseline, killed - synced))

            self.start_logged_server()
            store = self.store_bytes()
            held = sum(n for _, n, _ in recs)
            self.assertEqual(restore(store, recs), stream[:held],
                             "cut %d: a record the client held (of %d) names bytes the cut took; "
                             "store cut from %d to %d bytes" % (t, len(recs), killed, synced))

            # The same files again: every chunk the cut took is stored anew.
            lst = self.path("t%d.list" % t)
            p = run_program("chunksend", ["-q", "-o", lst] + names, cwd=self.folder)
            self.assertEqual((p.returncode, p.stderr), (0, b""))
            with open(lst, "rb") as f:
                listed = f.read()
            split_records(listed, [len(f) for f in files])
            self.assertEqual(restore(self.store_bytes(), parse_records(listed)), stream)
            for srv in self.servers:
                srv.stop()
            fd = os.open(self.store_path, os.O_RDONLY)
            os.fsync(fd)
            os.close(fd)
            baseline = os.path.getsize(self.store_path)
        # The cuts did take appended bytes away, in more than one trial.
        self.assertGreater(sum(1 for _, _, cut in log if cut > 0), 1, log)
        # A server that syncs on the kernel's I/O ring was killed with a sync
        # in flight (its records not yet sent) in some trials: about a third
        # of them in the optimised build. Under the sanitizers the pass is so
        # much slower than the disk that a sync is seldom still out at a kill
        # (0 of 24 seen); the pump simulation and the handler fuzz target hold
        # syncs in flight on purpose, in every build.
        if ring and not SANITIZED:
            self.assertGreater(in_flight, 0, log)
        print("\n%d power cuts, %d with a sync in flight; (records held, bytes appended before "
              "the kill, bytes cut): %r" % (CUTS, in_flight, log))


if __name__ == "__main__":
    unittest.main()
