"""chunkstore start-up, connections, the command tags and chunkstop: the
exact lines the server prints and its exit statuses."""
import os
import resource
import socket
import struct
import time
import unittest

from harness import (EADDRINUSE, PORT, SANITIZED, UNDER_EMULATION, UNDER_WINE, ScratchTestCase, accept_line, connect, handler_lines,
                     recv_all, run_program, wait_port_free)


_ports = {}


def local_port(sock):
    """The client's own port (remembered, so it can be asked after close)."""
    if sock.fileno() >= 0:
        _ports[id(sock)] = sock.getsockname()[1]
    return _ports[id(sock)]


class StartUp(ScratchTestCase):
    def test_creates_empty_store_and_prints_port(self):
        srv = self.start_server()
        self.assertTrue(srv.stdout().startswith("port=8888\n"))
        self.assertEqual(os.path.getsize(os.path.join(self.folder, "$dump")), 0)

    def test_port_taken_exits_1_with_bind_error(self):
        holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.addCleanup(holder.close)
        self.assertTrue(wait_port_free())
        holder.bind(("0.0.0.0", PORT))
        holder.listen(1)
        srv = self.start_server(wait_listening=False, port_must_be_free=False)
        self.assertEqual(srv.wait_exit(), 1)
        lines = srv.stdout().splitlines()
        self.assertEqual(lines[0], "port=8888")
        self.assertRegex(lines[1], r"^closing -?\d+$")
        self.assertEqual(lines[2], "failed to open port -1, errno=%d" % EADDRINUSE)
        self.assertEqual(len(lines), 3)
        self.assertEqual(srv.stderr(),
                         "chunkstore: port 8888 is in use: is another chunkstore running?\n")

    def test_store_that_is_a_directory_exits_2_with_the_reason_on_stderr(self):
        os.mkdir(os.path.join(self.folder, "$dump"))
        srv = self.start_server(wait_listening=False)
        self.assertEqual(srv.wait_exit(), 2)
        self.assertEqual(srv.stdout(), "")
        self.assertRegex(srv.stderr(), r"^chunkstore: cannot open or create the store file "
                         r"\$dump: \S.*\n$")

    @unittest.skipIf(UNDER_WINE, "address-space limits are a Linux matter")
    @unittest.skipIf(UNDER_EMULATION, "the limit would bind the emulator, not the program")
    @unittest.skipIf(SANITIZED, "AddressSanitizer needs far more address space than the limit")
    def test_index_table_that_cannot_be_allocated_exits_3(self):
        def small_address_space():
            resource.setrlimit(resource.RLIMIT_AS, (512 << 20, 512 << 20))
        srv = self.start_server(wait_listening=False, preexec_fn=small_address_space)
        self.assertEqual(srv.wait_exit(), 3)
        self.assertEqual(srv.stdout(), "")
        self.assertIn("cannot allocate the 704643072-byte chunk index table", srv.stderr())

    def test_restart_right_after_quit_gets_the_port_again(self):
        srv = self.start_server()
        s = connect()
        s.sendall(b"quit")
        recv_all(s)
        s.close()
        self.assertEqual(srv.wait_exit(), 0)
        again = self.start_server()
        self.assertIsNone(again.proc.poll())


class Connections(ScratchTestCase):
    def accepted(self, srv, sock):
        """Waits for the accept line of sock and returns the socket value."""
        out = srv.wait_for("start handler: ", since_mark=True)
        first = out.splitlines()[0]
        value = int(first.split(":")[0])
        self.assertEqual(first + "\n", accept_line(value, local_port(sock)))
        return value

    def test_client_that_closes_at_once(self):
        srv = self.start_server()
        s = connect()
        v = self.accepted(srv, s)
        s.close()
        srv.wait_for("closing", since_mark=True)
        self.assertEqual(srv.new_output(), accept_line(v, local_port(s)) +
                         handler_lines(v, 0xFEFEFEFF) +
                         "quit handler: %d\nclosing %d\n" % (v, v))

    def test_partial_tag_and_other_tags_end_the_connection(self):
        srv = self.start_server()
        for payload, tag in ((b"fil", 0x66696BFF), (b"FILE", 0x46494C45), (b"elif", 0x656C6966)):
            srv.mark = len(srv.stdout())
            s = connect()
            v = self.accepted(srv, s)
            s.sendall(payload)
            if len(payload) < 4:
                s.shutdown(socket.SHUT_WR)
            self.assertEqual(recv_all(s), b"")
            s.close()
            srv.wait_for("closing", since_mark=True)
            self.assertEqual(srv.new_output(), accept_line(v, local_port(s)) +
                             handler_lines(v, tag) + "quit handler: %d\nclosing %d\n" % (v, v))
        self.assertIsNone(srv.proc.poll())

    def test_length_cut_short_and_negative_length(self):
        srv = self.start_server()
        # Two length bytes, then the peer closes: the six missing bytes read
        # as -1 each.
        s = connect()
        v = self.accepted(srv, s)
        s.sendall(b"file\x00\x01")
        s.shutdown(socket.SHUT_WR)
        recv_all(s)
        s.close()
        srv.wait_for("closing", since_mark=True)
        length = 0
        for b in (0, 1, -1, -1, -1, -1, -1, -1):
            length = (length * 256 + b) & (2**64 - 1)
        signed = struct.unpack(">q", struct.pack(">Q", length))[0]
        out = srv.new_output()
        self.assertIn(handler_lines(v, 0x66696C65) + "fl=%d\nfl done\n" % signed, out)
        self.assertTrue(out.endswith("c=FEFEFEFF file:66696C65 quit:71756974\n"
                                     "quit handler: %d\nclosing %d\n" % (v, v)))
        # A length with its top bit set prints as a negative number.
        srv.mark = len(srv.stdout())
        s = connect()
        self.accepted(srv, s)
        s.sendall(b"file\x80" + b"\x00" * 7)
        s.shutdown(socket.SHUT_WR)
        recv_all(s)
        s.close()
        out = srv.wait_for("closing", since_mark=True)
        self.assertIn("fl=-9223372036854775808\nfl done\n", out)

    def test_second_client_is_refused_while_first_is_served(self):
        srv = self.start_server()
        first = connect()
        v1 = self.accepted(srv, first)
        srv.mark = len(srv.stdout())
        second = connect()
        local_port(second)
        out = srv.wait_for("closing", since_mark=True)
        self.assertEqual(recv_all(second), b"")
        lines = out.splitlines(True)
        v2 = int(lines[0].split(":")[0])
        self.assertEqual(out, accept_line(v2, local_port(second)) + "closing %d\n" % v2)
        second.close()
        # The first client is still served.
        srv.mark = len(srv.stdout())
        first.sendall(b"file" + struct.pack(">Q", 5) + b"hello")
        first.shutdown(socket.SHUT_WR)
        recv_all(first)
        first.close()
        out = srv.wait_for("closing", since_mark=True)
        self.assertTrue(out.startswith("c=66696C65 file:66696C65 quit:71756974\nfl=5\nfl done\n"), out)
        self.assertTrue(out.endswith("quit handler: %d\nclosing %d\n" % (v1, v1)))

    def test_bytes_arriving_one_at_a_time(self):
        srv = self.start_server()
        s = connect()
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        v = self.accepted(srv, s)
        for b in b"file" + struct.pack(">Q", 3) + b"xyz" + b"FILE":
            s.send(bytes([b]))
            time.sleep(0.015)
        recv_all(s)
        s.close()
        out = srv.wait_for("closing", since_mark=True)
        self.assertEqual(out, accept_line(v, local_port(s)) + handler_lines(v, 0x66696C65) +
                         "fl=3\nfl done\nc=46494C45 file:66696C65 quit:71756974\n"
                         "quit handler: %d\nclosing %d\n" % (v, v))


class Stopping(ScratchTestCase):
    def test_quit_ends_the_server_with_status_0(self):
        srv = self.start_server()
        s = connect()
        local_port(s)
        s.sendall(b"quit")
        self.assertEqual(recv_all(s), b"")
        s.close()
        self.assertEqual(srv.wait_exit(), 0)
        out = srv.new_output()
        v = int(out.split(":")[0])
        self.assertEqual(out, accept_line(v, local_port(s)) + handler_lines(v, 0x71756974) +
                         "closing %d\n" % v)

    def test_chunkstop_stops_a_running_server(self):
        srv = self.start_server()
        r = run_program("chunkstop", [], self.folder)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout, b"=127.0.0.1\n")
        self.assertEqual(r.stderr, b"chunkstop: server at 127.0.0.1:8888 stopped\n")
        self.assertEqual(srv.wait_exit(), 0)
        self.assertIn("c=71756974 file:66696C65 quit:71756974\nclosing ", srv.new_output())

    def test_chunkstop_without_server(self):
        self.assertTrue(wait_port_free())
        r = run_program("chunkstop", [], self.folder)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout, b"=127.0.0.1\n")
        self.assertEqual(r.stderr, b"chunkstop: no server is listening on 127.0.0.1:8888\n")

    def test_chunkstop_while_server_is_busy_leaves_it_running(self):
        srv = self.start_server()
        busy = connect()
        srv.wait_for("start handler", since_mark=True)
        r = run_program("chunkstop", [], self.folder)
        self.assertEqual((r.returncode, r.stdout), (0, b"=127.0.0.1\n"))
        self.assertIn(b"busy with another client and still running", r.stderr)
        self.assertIsNone(srv.proc.poll())
        busy.close()
        srv.wait_for("quit handler", since_mark=True)


if __name__ == "__main__":
    unittest.main()
