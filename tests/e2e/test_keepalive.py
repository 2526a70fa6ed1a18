"""Keepalive on client connections: a client whose machine vanishes without a
word (its network and process gone, no FIN, no RST) is found gone by the
server's keepalive probes, its connection is closed and the next client is
served; a live client that stays silent for longer than the probe cycle is
not disturbed.

The server asks for an idle time of 60 s; a preloaded shim (built beside the
programs) shortens the times to 2 s idle and 1 s between probes, so the test
takes seconds. It needs root, its own network namespace and a Linux server."""
import os
import random
import socket
import struct
import subprocess
import sys
import time
import unittest

from harness import (BIN_DIR, PRIVATE_NETWORK, RUNNER, UNDER_EMULATION, ScratchTestCase, connect, file_command,
                     read_store, recv_all, restore, split_records, store_files)

SHIM = os.path.join(BIN_DIR, "keepalive_shim.so")
HOST_IP, PEER_IP = "10.77.0.1", "10.77.0.2"

# Runs in a network namespace of its own, reached through a veth pair: sends
# the start of a file, reads the records of its complete chunks, says so and
# then waits to be killed.
PEER_SCRIPT = r"""
import socket, struct, sys, time, fcntl, termios
for _ in range(500):
    try:
        s = socket.create_connection((sys.argv[1], 8888), timeout=0.2)
        break
    except OSError:
        time.sleep(0.02)
data = bytes(range(256)) * 200
s.sendall(b"file" + struct.pack(">Q", 1 << 20) + data)
while fcntl.ioctl(s, termios.TIOCOUTQ, b"\0\0\0\0") != b"\0\0\0\0":
    time.sleep(0.01)
s.settimeout(0.5)
try:
    while s.recv(65536):
        pass
except OSError:
    pass
print("sent", flush=True)
time.sleep(600)
"""


def ip(*args):
    subprocess.run(["ip"] + list(args), check=True)


@unittest.skipUnless(PRIVATE_NETWORK and (not RUNNER or UNDER_EMULATION) and os.path.exists(SHIM),
                     "needs root for network namespaces and veth links, and the Linux "
                     "programs with the keepalive shim (not Wine)")
class Keepalive(ScratchTestCase):
    def start_shimmed_server(self):
        self.log = os.path.join(self.folder, "keepalive.log")
        env = dict(os.environ, LD_PRELOAD=SHIM, CHUNK_KEEPALIVE_TEST_TIMES="2,1",
                   CHUNK_KEEPALIVE_TEST_LOG=self.log,
                   # A sanitized build's runtime wants to come first; the shim
                   # only wraps setsockopt.
                   ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
        os.mkdir(os.path.join(self.folder, "store"))
        return self.start_server(folder=os.path.join(self.folder, "store"), env=env)

    def asked_for(self):
        with open(self.log) as f:
            return f.read().split()

    def test_vanished_peer_is_closed_and_the_next_client_served(self):
        srv = self.start_shimmed_server()
        ip("link", "add", "ka0", "type", "veth", "peer", "name", "ka1")
        self.addCleanup(subprocess.run, ["ip", "link", "del", "ka0"], stderr=subprocess.DEVNULL)
        peer = subprocess.Popen(["unshare", "-n", sys.executable, "-c", PEER_SCRIPT, HOST_IP],
                                stdout=subprocess.PIPE)
        self.addCleanup(peer.stdout.close)
        self.addCleanup(peer.wait)
        self.addCleanup(peer.kill)
        # unshare makes the new namespace and then runs the peer under the
        # same process id; until it has, the pid still names ours.
        own_ns = os.readlink("/proc/self/ns/net")
        deadline = time.time() + 10
        while os.readlink("/proc/%d/ns/net" % peer.pid) == own_ns:
            self.assertLess(time.time(), deadline, "the peer's namespace never appeared")
            time.sleep(0.01)
        ip("link", "set", "ka1", "netns", str(peer.pid))
        ns = ["nsenter", "-t", str(peer.pid), "-n", "ip"]
        subprocess.run(ns + ["addr", "add", PEER_IP + "/24", "dev", "ka1"], check=True)
        subprocess.run(ns + ["link", "set", "ka1", "up"], check=True)
        subprocess.run(ns + ["link", "set", "lo", "up"], check=True)
        ip("addr", "add", HOST_IP + "/24", "dev", "ka0")
        ip("link", "set", "ka0", "up")
        self.assertEqual(peer.stdout.readline(), b"sent\n")
        out = srv.wait_for("-> %s:" % PEER_IP, since_mark=True)
        self.assertIn("fl=%d\n" % (1 << 20), srv.wait_for("fl=", since_mark=True))

        # The peer's machine vanishes: its link first, so that nothing it
        # does afterwards reaches the server, then its process.
        ip("link", "del", "ka0")
        peer.kill()
        peer.wait()
        gone_at = time.time()

        # A client that comes meanwhile finds the place taken and is refused.
        refused = socket.create_connection(("127.0.0.1", 8888), timeout=5)
        self.assertEqual(recv_all(refused, timeout=5), b"")
        refused.close()
        self.assertNotIn("fl done", srv.new_output())

        # 2 s idle and 3 probes 1 s apart, then the receive fails: the pass
        # ends its input there and the connection is closed. Without the
        # shortened times that would take 90 s (60 s idle, 3 probes 10 s
        # apart), which the deadline below does not allow.
        srv.wait_for("fl done\n", since_mark=True, timeout=75)
        out = srv.wait_for("closing", count=2, since_mark=True, timeout=75 - (time.time() - gone_at))
        sock = out.split("start handler: ")[1].split("\n")[0]
        self.assertIn("fl done\nc=FEFEFEFF file:66696C65 quit:71756974\n"
                      "quit handler: %s\nclosing %s\n" % (sock, sock), out)

        # The server asked for about a minute of idle time and a few probes.
        asked = self.asked_for()
        self.assertIn("keepalive=1", asked)
        self.assertIn("idle=60", asked)
        self.assertIn("interval=10", asked)
        self.assertIn("count=3", asked)

        # The next client is served, and what the vanished peer sent before
        # its chunks' records went missing is stored as whole chunks.
        data = random.Random(1).randbytes(300000)
        recs, = store_files([data])
        store = read_store(srv.folder)
        self.assertEqual(restore(store, recs), data)
        self.assertEqual(len(store) % 64, 0)

    def test_silent_live_client_outlasts_many_probe_cycles(self):
        srv = self.start_shimmed_server()
        data = random.Random(2).randbytes(400000)
        s = connect()
        cmd = file_command(data)
        s.sendall(cmd[:150000])
        # Five probe cycles' worth of silence in the middle of a file, then
        # in front of the next command.
        time.sleep(5)
        s.sendall(cmd[150000:])
        time.sleep(5)
        s.shutdown(socket.SHUT_WR)
        recs, = split_records(recv_all(s), [len(data)])
        s.close()
        self.assertEqual(restore(read_store(srv.folder), recs), data)
        # One connection, closed only when the client had finished.
        self.assertEqual(srv.wait_for("closing", since_mark=True).count("closing"), 1)
        self.assertIn("idle=60", self.asked_for())


if __name__ == "__main__":
    unittest.main()
