"""chunkstore run as a service: the readiness datagram to $NOTIFY_SOCKET, the
one stderr line with its address, --listen, SIGTERM, and chunkstop --wait
with its statuses."""
import os
import signal
import socket
import time
import unittest

from harness import (PORT, START_TIMEOUT, WINDOWS_PROGRAMS, Running, ScratchTestCase, connect,
                     file_command, parse_records, read_store, restore, run_program,
                     wait_port_free)


def wait_until(what, check, timeout=START_TIMEOUT):
    end = time.time() + timeout
    while not check():
        if time.time() > end:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.02)


def listening_lines(srv):
    return [l for l in srv.raw_stderr().splitlines() if l.startswith("chunkstore: listening on ")]


def wait_listening_line(srv):
    def seen():
        if srv.proc.poll() is not None:
            raise AssertionError("chunkstore exited with %d: %r" %
                                 (srv.proc.returncode, srv.raw_stderr()))
        return listening_lines(srv)
    wait_until("the listening line", seen)


def can_connect(ip):
    try:
        socket.create_connection((ip, PORT), timeout=5).close()
        return True
    except OSError:
        return False


def notify_socket(name):
    """A datagram socket of the test's own, bound to a path or (a name that
    starts with "@") an abstract name."""
    s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    s.bind("\0" + name[1:] if name.startswith("@") else name)
    return s


@unittest.skipIf(WINDOWS_PROGRAMS, "the service manager's notify socket is a Linux matter")
class Readiness(ScratchTestCase):
    def server_env(self, name):
        return dict(os.environ, NOTIFY_SOCKET=name)

    def test_ready_comes_once_the_port_takes_clients_and_stopping_before_the_end(self):
        # A store to rebuild first: readiness must wait for it.
        with open(os.path.join(self.folder, "$dump"), "wb") as f:
            f.write(b"\xcc" * 64 + os.urandom(4 << 20))
        for kind, name in [("path", os.path.join(self.folder, "notify")),
                           ("abstract", "@chunk-notify-%d" % os.getpid())]:
            with self.subTest(socket=kind):
                sock = notify_socket(name)
                self.addCleanup(sock.close)
                sock.settimeout(START_TIMEOUT)
                srv = self.start_server(wait_listening=False, env=self.server_env(name))
                message = sock.recv(4096).decode()
                # The moment the datagram is read, the port already takes a
                # client, and the line with the address is out.
                self.assertTrue(can_connect("127.0.0.1"))
                self.assertEqual(listening_lines(srv), ["chunkstore: listening on 0.0.0.0:8888"])
                fields = dict(l.split("=", 1) for l in message.splitlines())
                self.assertEqual(fields, {"READY": "1", "STATUS": "listening on 0.0.0.0:8888",
                                          "MAINPID": str(srv.proc.pid)})
                self.assertTrue(srv.stdout().startswith("port=8888\n"))
                os.kill(srv.proc.pid, signal.SIGTERM)
                self.assertEqual(sock.recv(4096), b"STOPPING=1\n")
                self.assertEqual(srv.wait_exit(), 0)
                self.assertEqual(srv.raw_stderr(), "chunkstore: listening on 0.0.0.0:8888\n"
                                                   "chunkstore: stopped by SIGTERM\n")
                self.assertTrue(wait_port_free())

    def test_nothing_is_sent_when_the_server_cannot_listen(self):
        holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(holder.close)
        self.assertTrue(wait_port_free())
        holder.bind(("0.0.0.0", PORT))
        holder.listen(1)
        name = os.path.join(self.folder, "notify")
        sock = notify_socket(name)
        self.addCleanup(sock.close)
        srv = self.start_server(wait_listening=False, port_must_be_free=False,
                                env=self.server_env(name))
        self.assertEqual(srv.wait_exit(), 1)
        sock.setblocking(False)
        with self.assertRaises(BlockingIOError):
            sock.recv(4096)
        self.assertEqual(listening_lines(srv), [])

    def test_a_notify_socket_that_cannot_be_reached_is_reported_and_serving_goes_on(self):
        for name in [os.path.join(self.folder, "nobody-here"), "relative/name"]:
            with self.subTest(NOTIFY_SOCKET=name):
                srv = self.start_server(env=self.server_env(name))
                self.assertRegex(srv.stderr(), r"^chunkstore: cannot tell the service manager "
                                               r"\(NOTIFY_SOCKET\) it is ready: \S.*\n$")
                self.assertTrue(can_connect("127.0.0.1"))
                r = run_program("chunkstop", ["--wait", "30"], self.folder)
                self.assertEqual(r.returncode, 0)
                self.assertEqual(srv.wait_exit(), 0)


class ListenAddress(ScratchTestCase):
    def test_the_server_takes_clients_on_its_address_alone(self):
        # Every 127.x.y.z is this machine's: two addresses to tell apart.
        for args, listening, reached, refused in [
                ([], "0.0.0.0", ["127.0.0.1", "127.0.0.2"], []),
                (["--listen", "127.0.0.2"], "127.0.0.2", ["127.0.0.2"], ["127.0.0.1"]),
                (["--listen", "127.0.0.1", "--no-sync"], "127.0.0.1", ["127.0.0.1"],
                 ["127.0.0.2"])]:
            with self.subTest(args=args):
                self.assertTrue(wait_port_free())
                srv = self.start_server(wait_listening=False, args=args)
                wait_listening_line(srv)
                self.assertEqual(listening_lines(srv),
                                 ["chunkstore: listening on %s:8888" % listening])
                for ip in reached:
                    self.assertTrue(can_connect(ip), ip)
                for ip in refused:
                    self.assertFalse(can_connect(ip), ip)
                srv.wait_for("closing ", count=len(reached))
                self.assertEqual(srv.stdout().count(" %s:8888 -> " % listening), len(reached))
                srv.stop()

    def test_an_address_that_cannot_be_used_exits_1_before_the_store_is_made(self):
        usage = "chunkstore: --listen needs an IPv4 address such as 127.0.0.1"
        for args, message in [
                (["--listen"], usage + "\n"),
                (["--listen", "localhost"], usage + ", not localhost\n"),
                (["--listen", "256.0.0.1"], usage + ", not 256.0.0.1\n"),
                (["--listen", "1.2.3"], usage + ", not 1.2.3\n"),
                (["--listen", "1.2.3.4.5"], usage + ", not 1.2.3.4.5\n"),
                (["--listen", "127.0.0.1 "], usage + ", not 127.0.0.1 \n"),
                (["--listen", "0127.0.0.1"], usage + ", not 0127.0.0.1\n")]:
            with self.subTest(args=args):
                srv = self.start_server(wait_listening=False, args=args)
                self.assertEqual(srv.wait_exit(), 1)
                self.assertEqual(srv.raw_stderr(), message)
                self.assertEqual(srv.stdout(), "")
                self.assertFalse(os.path.exists(os.path.join(self.folder, "$dump")))

    def test_an_address_of_another_machine_cannot_be_listened_on(self):
        srv = self.start_server(wait_listening=False, args=["--listen", "192.0.2.1"])
        self.assertEqual(srv.wait_exit(), 1)
        self.assertRegex(srv.raw_stderr(), r"^chunkstore: cannot listen on 192\.0\.2\.1:8888: "
                                           r"\S.*\n$")
        self.assertIn("failed to open port -1, errno=", srv.stdout())


@unittest.skipIf(WINDOWS_PROGRAMS, "SIGTERM is a POSIX matter")
class StopSignal(ScratchTestCase):
    def test_sigterm_during_a_transfer_keeps_every_record_that_was_sent(self):
        srv = self.start_server()
        data = os.urandom(48 << 20)
        s = connect()
        self.addCleanup(s.close)
        command = file_command(data)
        s.sendall(command[:16 << 20])
        # Records are sent only for chunks already synced: read some first.
        reply = b""
        while len(reply) < 100 * 21:
            got = s.recv(1 << 16)
            self.assertTrue(got, "the server closed the connection early")
            reply += got
        os.kill(srv.proc.pid, signal.SIGTERM)
        self.assertEqual(srv.wait_exit(), 0)
        s.settimeout(30)
        while True:
            try:
                got = s.recv(1 << 16)
            except OSError:
                break
            if not got:
                break
            reply += got
        records = parse_records(reply[:len(reply) - len(reply) % 21])
        covered = sum(length for _, length, _ in records)
        self.assertGreater(covered, 0)
        self.assertLess(covered, len(data))
        self.assertEqual(restore(read_store(self.folder), records), data[:covered])
        self.assertIn("chunkstore: stopped by SIGTERM\n", srv.stderr())
        # A restarted server rebuilds from that store and serves again.
        again = self.start_server()
        self.assertTrue(can_connect("127.0.0.1"))
        os.kill(again.proc.pid, signal.SIGTERM)
        self.assertEqual(again.wait_exit(), 0)


class StopAndWait(ScratchTestCase):
    def chunkstop(self, *args):
        return run_program("chunkstop", list(args), self.folder)

    def test_statuses_tell_stopped_busy_and_not_there(self):
        not_there = b"chunkstop: no server is listening on 127.0.0.1:8888\n"
        stopped = b"chunkstop: server at 127.0.0.1:8888 stopped\n"
        busy_for_1 = (b"chunkstop: the server at 127.0.0.1:8888 was busy with another client "
                      b"for 1 s and did not take the command; it is still running\n")
        for situation, args, status, err in [
                ("no server", [], 0, not_there),
                ("no server", ["--wait", "5"], 3, not_there),
                ("idle server", ["--wait", "5"], 0, stopped),
                ("busy server", ["--wait", "1"], 2, busy_for_1),
                ("busy server", [], 0, None)]:
            with self.subTest(situation=situation, args=args):
                self.assertTrue(wait_port_free())
                srv = busy = None
                if situation != "no server":
                    srv = self.start_server()
                if situation == "busy server":
                    busy = connect()
                    srv.wait_for("start handler", since_mark=True)
                r = self.chunkstop(*args)
                self.assertEqual((r.returncode, r.stdout), (status, b"=127.0.0.1\n"))
                if err is not None:
                    self.assertEqual(r.stderr, err)
                if situation == "idle server":
                    self.assertEqual(srv.proc.poll(), 0)
                if busy is not None:
                    self.assertIsNone(srv.proc.poll())
                    closings = srv.stdout().count("closing ")
                    busy.close()
                    srv.wait_for("closing ", count=closings + 1)
                    self.assertEqual(self.chunkstop("--wait", "30").returncode, 0)
                    self.assertEqual(srv.wait_exit(), 0)

    def test_a_wait_outlasts_the_busy_client_and_stops_the_server(self):
        srv = self.start_server()
        busy = connect()
        srv.wait_for("start handler", since_mark=True)
        closings = srv.stdout().count("closing ")
        stop = Running("chunkstop", ["--wait", "120"], self.folder)
        # chunkstop was turned away at least once, then the client leaves.
        srv.wait_for("closing ", count=closings + 1)
        busy.close()
        status, out, err = stop.finish(timeout=120)
        self.assertEqual((status, out), (0, b"=127.0.0.1\n"))
        self.assertEqual(err, b"chunkstop: server at 127.0.0.1:8888 stopped\n")
        self.assertEqual(srv.wait_exit(), 0)

    def test_a_wait_that_is_not_a_number_of_seconds_is_refused(self):
        for args in [["--wait"], ["--wait", "0"], ["--wait", "x"], ["--wait", "5s"],
                     ["--wait", "86401"]]:
            with self.subTest(args=args):
                r = self.chunkstop(*args)
                self.assertEqual((r.returncode, r.stdout), (1, b""))
                self.assertEqual(r.stderr, b"chunkstop: --wait needs a number of seconds "
                                           b"from 1 to 86400\n")


if __name__ == "__main__":
    unittest.main()
