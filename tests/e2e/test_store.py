"""chunkstore storing files: exact records and store bytes for known inputs,
deduplication, restarts over an existing store, clients that stop early,
and a store left behind by an append that was cut short."""
import os
import random
import re
import resource
import socket
import struct
import time
import unittest

from harness import (STORE_NAME, WINDOWS_PROGRAMS, ScratchTestCase, connect, file_command,
                     parse_records, read_store, recv_all, restore, run_program, split_records,
                     store_files, text_lines)

EMPTY_RECORD = bytes.fromhex("6e1bd4d81b2a298dd95ac5311eac000001000000 00".replace(" ", ""))
ABC_RECORD = bytes.fromhex("dec8520fdd0254d6450c15b4bbb6030001000000 00".replace(" ", ""))


def random_bytes(n, seed):
    return random.Random(seed).randbytes(n)


class KnownInputs(ScratchTestCase):
    def send_raw(self, data):
        s = connect()
        s.sendall(file_command(data))
        s.shutdown(socket.SHUT_WR)
        reply = recv_all(s)
        s.close()
        return reply

    def test_empty_file(self):
        self.start_server()
        self.assertEqual(self.send_raw(b""), EMPTY_RECORD)
        store = read_store(self.folder)
        self.assertEqual(store, b"\xcc" * 64 + bytes(range(1, 180)) + bytes([179]) * 13)

    def test_abc(self):
        self.start_server()
        self.assertEqual(self.send_raw(b"abc"), ABC_RECORD)
        filler = bytes((0x64 + i) & 0xFF for i in range(235))
        self.assertEqual(filler[-1], 0x4E)
        self.assertEqual(read_store(self.folder),
                         b"\xcc" * 64 + b"abc" + filler + bytes([0x4E]) * 18)

    def test_same_file_twice_appends_nothing(self):
        self.start_server()
        data = random_bytes(1 << 20, 1)
        first, = store_files([data])
        size = len(read_store(self.folder))
        second, = store_files([data])
        self.assertEqual(first, second)
        self.assertEqual(len(read_store(self.folder)), size)
        self.assertEqual(restore(read_store(self.folder), first), data)


class Files(ScratchTestCase):
    def test_two_files_on_one_connection_and_many_records(self):
        self.start_server()
        a = random_bytes(3 << 20, 2)  # far more records than one output buffer holds
        b = random_bytes(300000, 3) + a[:100000]
        recs_a, recs_b = store_files([a, b])
        self.assertGreater(len(recs_a), 1561)
        store = read_store(self.folder)
        self.assertEqual(len(store) % 64, 0)
        self.assertEqual(restore(store, recs_a), a)
        self.assertEqual(restore(store, recs_b), b)
        # The shared prefix of a deduplicates: b's chunks after its first
        # 300000 bytes start reusing a's offsets once the chunking realigns.
        offsets_a = {off for _, _, off in recs_a}
        self.assertTrue(any(off in offsets_a for _, _, off in recs_b))

    def test_file_ending_on_a_chunk_boundary_gets_an_empty_last_record(self):
        self.start_server()
        data = random_bytes(50000, 4)
        recs, = store_files([data])
        first_len = recs[0][1]
        prefix_recs, = store_files([data[:first_len]])
        self.assertEqual(len(prefix_recs), 2)
        self.assertEqual(prefix_recs[0], recs[0])
        self.assertEqual(prefix_recs[1][1], 0)

    def test_half_closed_client_that_reads_late_gets_every_record(self):
        self.start_server()
        data = random_bytes(8 << 20, 5)
        s = connect()
        s.sendall(file_command(data))
        s.shutdown(socket.SHUT_WR)
        time.sleep(2)
        reply = recv_all(s)
        s.close()
        recs, = split_records(reply, [len(data)])
        self.assertEqual(restore(read_store(self.folder), recs), data)

    def test_client_stopping_in_the_middle_of_a_file(self):
        srv = self.start_server()
        data = random_bytes(1 << 20, 6)
        # Half-closed: the server completes the last chunk with filler and
        # still sends every record; their real lengths cover what was sent.
        s = connect()
        s.sendall(b"file" + struct.pack(">Q", len(data)) + data[:300000])
        s.shutdown(socket.SHUT_WR)
        recs = parse_records(recv_all(s))
        s.close()
        self.assertEqual(sum(length for _, length, _ in recs), 300000)
        self.assertEqual(restore(read_store(self.folder), recs), data[:300000])
        self.assertIn("fl=%d\nfl done\n" % len(data), srv.new_output())
        # The server logs the close after it has closed: wait for the line,
        # or the next client may come while the server still holds this one
        # and be turned away (seen under emulation).
        srv.wait_for("closing ", since_mark=True)
        # Gone for good: the records may find nobody to read them.
        srv.mark = len(srv.stdout())
        s = connect()
        s.sendall(b"file" + struct.pack(">Q", len(data)) + data[200000:500000])
        s.close()
        srv.wait_for("closing", since_mark=True)
        self.assertEqual(len(read_store(self.folder)) % 64, 0)
        # The server goes on serving, and the whole file round-trips.
        recs, = store_files([data])
        self.assertEqual(restore(read_store(self.folder), recs), data)


class Restart(ScratchTestCase):
    def quit(self, srv):
        s = connect()
        s.sendall(b"quit")
        recv_all(s)
        s.close()
        self.assertEqual(srv.wait_exit(), 0)

    def test_restart_answers_with_the_first_offsets_and_appends_nothing(self):
        files = [random_bytes(2 << 20, 7), b"", b"abc", random_bytes(70000, 8), bytes(70000)]
        srv = self.start_server()
        first = [store_files([f])[0] for f in files]
        self.quit(srv)
        size = len(read_store(self.folder))
        srv = self.start_server()
        again = [store_files([f])[0] for f in files]
        self.assertEqual(again, first)
        self.assertEqual(len(read_store(self.folder)), size)
        store = read_store(self.folder)
        for f, recs in zip(files, again):
            self.assertEqual(restore(store, recs), f)

    def test_index_never_names_filler_the_store_lacks(self):
        # Learn where the first chunks of two random streams end.
        r = random_bytes(20000, 9)
        u = random_bytes(20000, 10)
        probe = os.path.join(self.folder, "probe")
        os.mkdir(probe)
        srv = self.start_server(folder=probe)
        len_r = store_files([r])[0][0][1]
        len_u = store_files([u])[0][0][1]
        self.quit(srv)
        # A store whose last stored chunk is a whole chunk of real bytes.
        srv = self.start_server()
        store_files([r[:len_r]])
        store_files([u[:len_u] + r[:len_r]])
        self.quit(srv)
        # After a restart, a file that ends where that chunk ends is followed
        # by a chunk of filler only; its record must point at stored filler.
        srv = self.start_server()
        recs, = store_files([u[:len_u]])
        store = read_store(self.folder)
        last = recs[-1]
        self.assertEqual(last[1], 0)
        at = last[2] * 64
        b = u[len_u - 1]
        self.assertLess(at, len(store))
        self.assertEqual(store[at:at + 3], bytes([(b + 1) & 255, (b + 2) & 255, (b + 3) & 255]))

    def test_rebuild_progress_goes_to_stderr_only(self):
        # A rebuild that takes over a second reports on stderr; whatever this
        # machine's speed, stdout holds only the specified lines, and a total
        # is shown only for a rebuild that took a second or more.
        with open(os.path.join(self.folder, STORE_NAME), "wb") as f:
            f.write(b"\xcc" * 64)
            block = os.urandom(1 << 20)
            for i in range(64):
                f.write(block[i:] + block[:i])
        srv = self.start_server()
        self.assertEqual(srv.stdout().splitlines()[0], "port=8888")
        self.assertNotIn("rebuil", srv.stdout())
        for line in srv.stderr().splitlines():
            m = re.fullmatch(r"chunkstore: index rebuilt from (\d+) bytes in ([\d.]+) s", line)
            if m:
                self.assertEqual(int(m.group(1)), 64 + (64 << 20))
                self.assertGreaterEqual(float(m.group(2)), 1.0)
            else:
                self.assertRegex(line, r"^(chunkstore: rebuilding the index: \d+ of 64 MB read"
                                       r"|ASan doesn't fully support.*|==\d+==.*)$")

    def test_store_cut_short_is_padded_before_the_next_append(self):
        srv = self.start_server()
        store_files([random_bytes(100000, 11)])
        self.quit(srv)
        with open(os.path.join(self.folder, STORE_NAME), "ab") as f:
            f.write(b"\x55" * 10)  # a chunk whose append was cut short
        self.start_server()
        data = random_bytes(200000, 12)
        recs, = store_files([data])
        store = read_store(self.folder)
        self.assertEqual(len(store) % 64, 0)
        self.assertEqual(restore(store, recs), data)

    def check_and_restore(self, lists):
        """chunkcheck finds the store clean, and chunkcat restores every
        (records, data) pair from it."""
        store = os.path.join(self.folder, STORE_NAME)
        p = run_program("chunkcheck", ["-q", store], cwd=self.folder)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertIn(b"padding not a copy of the last byte: 0 chunks\n", text_lines(p.stdout))
        for k, (recs, data) in enumerate(lists):
            lst = os.path.join(self.folder, "%d.list" % k)
            with open(lst, "wb") as f:
                f.write(b"".join(d + struct.pack("<HIB", n, o & 0xFFFFFFFF, o >> 32)
                                 for d, n, o in recs))
            p = run_program("chunkcat", [store, lst], cwd=self.folder)
            self.assertEqual((p.returncode, p.stderr), (0, b""))
            self.assertEqual(p.stdout, data)

    def test_store_whose_header_was_cut_short_is_finished_with_the_header_byte(self):
        # The very first write (the header) cut short by a full disk or a
        # file-size limit leaves fewer than 64 bytes of 0xCC.
        for cut in (1, 40, 63):
            with open(os.path.join(self.folder, STORE_NAME), "wb") as f:
                f.write(b"\xcc" * cut)
            srv = self.start_server()
            data = random_bytes(30000, 20 + cut)
            recs, = store_files([data])
            self.quit(srv)
            store = read_store(self.folder)
            self.assertEqual(store[:64], b"\xcc" * 64, cut)
            self.assertEqual(recs[0][2], 1)  # the first chunk right after the header
            self.check_and_restore([(recs, data)])
            os.remove(os.path.join(self.folder, STORE_NAME))

    def test_store_cut_short_inside_a_padding_is_padded_with_the_chunks_last_byte(self):
        srv = self.start_server()
        data = random_bytes(300000, 13)
        recs, = store_files([data])
        self.quit(srv)
        store = read_store(self.folder)
        # A whole chunk (not a file's last) with at least 2 bytes of padding,
        # appended again with only the first byte of its padding, as an
        # append cut short there leaves it.
        _, length, off = recs[0]
        self.assertTrue(0 < length % 64 < 63, length)
        torn = store[off * 64: off * 64 + length + 1]
        with open(os.path.join(self.folder, STORE_NAME), "ab") as f:
            f.write(torn)
        size = len(store) + len(torn)
        srv = self.start_server()
        more = random_bytes(100000, 14)
        recs2, = store_files([more])
        self.quit(srv)
        store = read_store(self.folder)
        self.assertEqual(len(store) % 64, 0)
        gap = -size % 64
        self.assertEqual(store[size:size + gap], bytes([torn[-1]]) * gap)
        self.check_and_restore([(recs, data), (recs2, more)])

    @unittest.skipIf(WINDOWS_PROGRAMS, "file-size limits (RLIMIT_FSIZE) are POSIX")
    def test_file_size_limit_ends_the_server_with_status_3_and_its_message(self):
        limit = 100000

        def limited():
            resource.setrlimit(resource.RLIMIT_FSIZE,
                               (limit, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
        srv = self.start_server(preexec_fn=limited)
        s = connect()
        self.addCleanup(s.close)
        try:
            s.sendall(file_command(random_bytes(1 << 20, 15)))
            s.shutdown(socket.SHUT_WR)
        except OSError:
            pass  # the server is gone before it has taken everything
        self.assertEqual(srv.wait_exit(), 3)
        self.assertRegex(srv.stderr(), r'^chunkstore: cannot append chunks at byte \d+ of '
                                       r'"\$dump": File too large; exiting\n$')
        self.assertLessEqual(len(read_store(self.folder)), limit)


if __name__ == "__main__":
    unittest.main()
