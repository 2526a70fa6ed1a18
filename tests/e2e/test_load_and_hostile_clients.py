"""chunkstore under load and against clients that misbehave: many sequential
connections, clients crowding in while one stores, a client that trickles,
one that never reads its replies, an absurd announced length, and resets in
the middle of a file and in the middle of the records. After each, the
server answers the next client and its store is byte for byte what a plain
model of the store predicts."""
import fcntl
import random
import socket
import struct
import termios
import threading
import time
import unittest

from harness import (PORT, PRIVATE_NETWORK, UNDER_WINE, ScratchTestCase, connect, file_command, read_store,
                     recv_all)
from store_model import StoreModel

RNG_SEED = 12


def outq(sock):
    """Bytes the kernel still holds for sending: not sent or not acknowledged."""
    return struct.unpack("i", fcntl.ioctl(sock, termios.TIOCOUTQ, b"\0\0\0\0"))[0]


def server_side_queues(client):
    """(send queue, receive queue) of the server's end of a loopback
    connection, from the kernel's socket table."""
    port = client.getsockname()[1]
    want_local, want_remote = ":%04X" % PORT, ":%04X" % port
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if fields[1].endswith(want_local) and fields[2].endswith(want_remote):
                tx, rx = fields[4].split(":")
                return int(tx, 16), int(rx, 16)
    return None


def wait_all_consumed(client, timeout=20.0):
    """Waits until the server has read everything the client sent and every
    record it sent has been received by the client's kernel."""
    end = time.time() + timeout
    while time.time() < end:
        if outq(client) == 0 and server_side_queues(client) == (0, 0):
            time.sleep(0.1)  # a last pump cycle
            if outq(client) == 0 and server_side_queues(client) == (0, 0):
                return
        time.sleep(0.01)
    raise AssertionError("the server did not take what was sent")


def write_file(path, text):
    with open(path, "w") as f:
        f.write(text)


def shrink_socket_buffers(test):
    """In a network namespace of the test's own, makes the kernel's socket
    buffers small, so that a client that does not read stalls the server
    within a few hundred records instead of some megabytes."""
    if not PRIVATE_NETWORK:
        return
    for name, small in (("tcp_wmem", "4096 8192 16384"), ("tcp_rmem", "4096 8192 16384")):
        path = "/proc/sys/net/ipv4/" + name
        with open(path) as f:
            old = f.read()
        write_file(path, small)
        test.addCleanup(write_file, path, old)


def reset(sock):
    """Closes with a reset (SO_LINGER 0) instead of an orderly close."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


class ModelledServer(ScratchTestCase):
    def setUp(self):
        super().setUp()
        self.rng = random.Random(RNG_SEED)
        self.model = StoreModel()
        self.srv = self.start_server()

    def assert_store_as_modelled(self):
        store = read_store(self.folder)
        self.assertEqual(len(store), len(self.model.image))
        self.assertTrue(store == self.model.image, "store differs from the model")

    def store_one(self, data, sock=None, sent=0):
        """Stores one file (on a fresh connection, or on `sock` that has sent
        the first `sent` bytes of its command) and checks its records
        against the model's."""
        s = sock or connect()
        s.sendall(file_command(data)[sent:])
        s.shutdown(socket.SHUT_WR)
        reply = recv_all(s)
        s.close()
        self.assertEqual(reply, self.model.store(data))

    def assert_serves_next_client(self):
        self.store_one(self.rng.randbytes(120000))
        self.assert_store_as_modelled()


class Load(ModelledServer):
    def test_ten_thousand_sequential_connections(self):
        # Under Wine every connection costs far more; fewer show the same.
        count = 2000 if UNDER_WINE else 10000
        files = []
        for i in range(count):
            if files and self.rng.random() < 0.25:
                files.append(self.rng.choice(files))  # stored before: nothing new
            else:
                files.append(self.rng.randbytes(self.rng.randrange(0, 700)))
        expected = [self.model.store(f) for f in files]
        start = time.time()
        for i, (data, want) in enumerate(zip(files, expected)):
            s = socket.create_connection(("127.0.0.1", PORT), timeout=30)
            s.sendall(file_command(data))
            s.shutdown(socket.SHUT_WR)
            got = recv_all(s)
            s.close()
            if got != want:
                self.fail("connection %d: records differ from the model" % i)
        took = time.time() - start
        self.assert_store_as_modelled()
        out = self.srv.wait_for("closing", count=count, since_mark=True)
        self.assertEqual(out.count("closing"), count)
        print("\n%d connections served in %.1f s" % (count, took))
        self.assert_serves_next_client()

    def test_clients_crowding_in_are_refused_and_the_storer_undisturbed(self):
        data = self.rng.randbytes(2 << 20)
        want = self.model.store(data)
        storer = connect()
        got = []
        reader = threading.Thread(target=lambda: got.append(recv_all(storer)))
        reader.start()

        cmd = file_command(data)
        crowding = threading.Event()
        crowding.set()
        crowded = threading.Event()

        def send():
            for i in range(0, len(cmd), 4096):
                storer.sendall(cmd[i:i + 4096])
                if i == 1 << 20:
                    crowded.wait(120)  # half the file in: 200 clients come
                if i > len(cmd) * 0.9:
                    crowding.clear()  # none may find the storer gone
                time.sleep(0.001)
            storer.shutdown(socket.SHUT_WR)
        sender = threading.Thread(target=send)
        sender.start()
        self.srv.wait_for("fl=", since_mark=True)
        refused = 0
        while crowding.is_set():
            s = socket.create_connection(("127.0.0.1", PORT), timeout=30)
            try:
                self.assertEqual(s.recv(100), b"")
            except ConnectionResetError:
                pass
            s.close()
            refused += 1
            if refused == 200:
                crowded.set()
        crowded.set()
        sender.join()
        reader.join()
        storer.close()
        self.assertGreaterEqual(refused, 200)
        self.assertEqual(got, [want])
        out = self.srv.wait_for("closing", count=refused + 1, since_mark=True)
        # The storer's connection is the only one that got a handler.
        self.assertEqual(out.count("start handler"), 1)
        self.assertEqual(out.count("closing"), refused + 1)
        self.assert_store_as_modelled()
        self.assert_serves_next_client()


class Hostile(ModelledServer):
    def test_client_sending_one_byte_per_second(self):
        data = self.rng.randbytes(3000)
        cmd = file_command(data)
        s = connect()
        # Tag and the first length bytes one second apart, then the rest.
        for i in range(6):
            s.sendall(cmd[i:i + 1])
            time.sleep(1)
        self.store_one(data, sock=s, sent=6)
        self.assert_store_as_modelled()
        self.assert_serves_next_client()

    def test_client_that_never_reads_its_replies(self):
        files = [self.rng.randbytes(self.rng.randrange(100000, 300000)) for _ in range(10)]
        full = self.model.copy()
        for f in files:
            full.store(f)
        shrink_socket_buffers(self)
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.connect(("127.0.0.1", PORT))
        s.settimeout(1.5)
        # The files again and again (after the first round they add nothing
        # to the store) until the server stops taking them.
        stalled = False
        try:
            for i in range(2000):
                s.sendall(file_command(files[i % len(files)]))
        except socket.timeout:
            stalled = True  # the server's replies wait for us
        self.assertTrue(stalled, "the server took everything without being read")
        s.close()  # unread replies make this a reset
        self.srv.wait_for("closing", count=2)
        # The server stopped at a chunk whose record it could not send; all
        # before it is stored, nothing after it.
        store = read_store(self.folder)
        self.assertTrue(store == full.image[:len(store)])
        self.model = full
        self.model.cut_back(len(store))
        for f in files:
            self.store_one(f)
        self.assertTrue(read_store(self.folder) == full.image)
        self.assert_serves_next_client()

    def test_length_of_two_to_the_63_then_close(self):
        for tail in (b"", self.rng.randbytes(5000)):
            self.srv.mark = len(self.srv.stdout())
            s = connect()
            s.sendall(b"file" + struct.pack(">Q", 1 << 63) + tail)
            s.close()
            out = self.srv.wait_for("closing", since_mark=True)
            self.assertIn("fl=-9223372036854775808\nfl done\n", out)
            # What came is stored and completed with filler, like a file of
            # that length.
            self.model.store(tail)
            self.assert_store_as_modelled()
        self.assert_serves_next_client()

    def test_reset_in_the_middle_of_a_file(self):
        data = self.rng.randbytes(1 << 20)
        s = connect()
        s.sendall(file_command(data)[:12 + 400000])
        wait_all_consumed(s)
        reset(s)
        self.srv.wait_for("closing", count=2)
        self.assertIn("fl done\n", self.srv.new_output())
        # The bytes that came are stored as a file of their own would be.
        self.model.store(data[:400000])
        self.assert_store_as_modelled()
        self.store_one(data)
        self.assert_store_as_modelled()
        self.assert_serves_next_client()

    def test_reset_in_the_middle_of_the_records(self):
        data = self.rng.randbytes(1 << 20)
        full = self.model.copy()
        want = full.store(data)
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # replies back up
        s.connect(("127.0.0.1", PORT))
        s.settimeout(30)
        threading.Thread(target=lambda: s.sendall(file_command(data)), daemon=True).start()
        got = b""
        while len(got) < len(want) // 2:
            got += s.recv(4096)
            time.sleep(0.001)
        reset(s)
        self.srv.wait_for("closing", count=2)
        n = len(got) // 21 * 21
        self.assertEqual(got[:n], want[:n])
        # Every chunk whose record went out is stored; the pass stopped at a
        # chunk end.
        store = read_store(self.folder)
        self.assertTrue(store == full.image[:len(store)])
        self.model = full
        self.model.cut_back(len(store))
        self.store_one(data)
        self.assertTrue(read_store(self.folder) == full.image)
        self.assert_serves_next_client()


if __name__ == "__main__":
    unittest.main()
