"""Clients that make the server wait for output room while their input keeps
coming: every record must arrive, and the server must serve the next client.

- A client with a small receive buffer sends a large file at once,
  half-closes, and reads its records late (only when the server has taken
  none of its bytes for a while, and after the half-close) and slowly: the
  server's output backs up, its input buffer fills while it waits, and it
  must go on when room comes.
- A client that waits for every record of a file before it sends the next
  one: the last bytes of a file come while the server waits for output room,
  and nothing more comes until the records are out.

The clients wait for events (room to send, bytes readable, the close); a
deadline only turns a hang into a failure."""
import random
import select
import socket
import time
import unittest

import store_model
from harness import (PORT, RECORD_SIZE, SANITIZED, UNDER_WINE, ScratchTestCase, file_command,
                     read_store, restore, split_records, store_files)

# Generous: a sanitizer build or Wine is many times slower than needed here.
DEADLINE = 600.0 if SANITIZED or UNDER_WINE else 180.0


def small_buffer_socket():
    """A client socket whose receive buffer is 4 KB and whose segments carry
    1000 bytes, set before it connects so that the window is small from the
    start."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    if hasattr(socket, "TCP_MAXSEG"):
        try:
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_MAXSEG, 1000)
        except OSError:
            pass  # the buffer alone still backs the server's output up
    s.connect(("127.0.0.1", PORT))
    return s


def read_waiting(s, reply, slow):
    """Reads what has come, 2 KB at a time and paced when slow, until
    nothing more is there."""
    while select.select([s], [], [], 0)[0]:
        b = s.recv(2048 if slow else 65536)
        if not b:
            raise AssertionError("the server closed while the client was still sending")
        reply += b
        if slow:
            time.sleep(0.01)  # pacing only


def send_reading_late(test, s, cmd, reply, end, stall, slow):
    """Sends cmd on the non-blocking socket s, reading nothing while the
    server takes bytes. Only once it has taken none for `stall` seconds does
    the client read what has come: a client that never read before it has
    sent everything would wait for the server as the server waits for it,
    whenever the network cannot hold all the records."""
    pos = 0
    while pos < len(cmd):
        left = end - time.time()
        test.assertGreater(left, 0, "the server took %d of %d bytes; %d reply bytes" %
                           (pos, len(cmd), len(reply)))
        _, writable, _ = select.select([], [s], [], min(left, stall))
        if not writable:
            read_waiting(s, reply, slow)
            continue
        try:
            pos += s.send(cmd[pos:pos + 65536])
        except BlockingIOError:
            pass


class ServerWaitingForOutputRoom(ScratchTestCase):
    def assert_records_restore(self, reply, files):
        """The reply holds, per file, as many records as the model cuts it
        into, and they restore its bytes from the store."""
        per_file = split_records(reply, [len(d) for d in files])
        store = read_store(self.folder)
        for k, (data, recs) in enumerate(zip(files, per_file)):
            self.assertEqual(len(recs), len(store_model.cut(data)), "records of file %d" % k)
            self.assertEqual(restore(store, recs), data, "file %d" % k)

    def assert_next_client_served(self):
        """The client place is free again: a new client stores a file."""
        data = random.Random(7).randbytes(5000)
        (recs,) = store_files([data])
        self.assertEqual(restore(read_store(self.folder), recs), data)

    def test_late_slow_reader_with_small_receive_buffer_gets_every_record(self):
        srv = self.start_server()
        data = random.Random(18).randbytes(4 << 20)
        s = small_buffer_socket()
        self.addCleanup(s.close)
        s.setblocking(False)
        reply = bytearray()
        end = time.time() + DEADLINE
        # Late: the whole file first, reading only when the server has
        # taken nothing for 2 s.
        send_reading_late(self, s, file_command(data), reply, end, stall=2.0, slow=True)
        s.shutdown(socket.SHUT_WR)
        # Slowly: 2 KB at a time, paced; the end is the server's close.
        while True:
            left = end - time.time()
            self.assertGreater(left, 0, "no close after %d reply bytes (%d records)" %
                               (len(reply), len(reply) // RECORD_SIZE))
            readable, _, _ = select.select([s], [], [], min(left, 1.0))
            if not readable:
                continue
            b = s.recv(2048)
            if not b:
                break
            reply += b
            time.sleep(0.01)  # pacing only: the loop waits for readability
        self.assertEqual(len(reply) % RECORD_SIZE, 0)
        self.assert_records_restore(bytes(reply), [data])
        out = srv.wait_for("closing ", count=2)
        self.assertIn("fl=%d\nfl done\n" % len(data), out)
        self.assert_next_client_served()

    def test_client_waiting_for_each_files_records_before_the_next(self):
        srv = self.start_server()
        rng = random.Random(21)
        files = [rng.randbytes(n) for n in (4 << 20, 700000, 4 << 20)]
        s = small_buffer_socket()
        self.addCleanup(s.close)
        s.setblocking(False)
        reply = bytearray()
        due = 0
        end = time.time() + DEADLINE
        for k, data in enumerate(files):
            cmd = file_command(data)
            due += len(store_model.cut(data)) * RECORD_SIZE
            # The whole file first; then every record of it, and only then
            # the next file.
            send_reading_late(self, s, cmd, reply, end, stall=0.5, slow=False)
            while len(reply) < due:
                left = end - time.time()
                self.assertGreater(left, 0, "file %d: %d of %d reply bytes" % (k, len(reply), due))
                readable, _, _ = select.select([s], [], [], min(left, 1.0))
                if readable:
                    b = s.recv(65536)
                    self.assertNotEqual(b, b"", "the server closed during file %d" % k)
                    reply += b
            self.assertEqual(len(reply), due, "file %d" % k)
        s.shutdown(socket.SHUT_WR)
        s.setblocking(True)
        s.settimeout(DEADLINE)
        self.assertEqual(s.recv(1), b"")  # nothing more, then the close
        self.assert_records_restore(bytes(reply), files)
        self.assertEqual(srv.wait_for("fl done\n", count=len(files)).count("fl done\n"), len(files))
        srv.wait_for("closing ", count=2)
        self.assert_next_client_served()


if __name__ == "__main__":
    unittest.main()
