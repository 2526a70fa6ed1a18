"""Shared pieces of the end-to-end tests: finding the programs, running the
real chunkstore in a scratch folder, and a small client of its protocol.

The programs are found in $CHUNK_BIN_DIR with the suffix $CHUNK_EXE_SUFFIX;
when $CHUNK_RUNNER is set (for example "wine"), it is put in front of every
program's command line.
"""
import fcntl
import os
import re
import shlex
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

PORT = 8888


def _enter_private_network():
    """Re-runs this test process in a network namespace of its own, with only
    a loopback interface, when that is possible (root, with unshare and ip).
    Port 8888 is then always free there, and tests of several checkouts, or a
    developer's running server, cannot disturb each other. Returns whether
    the process runs in such a namespace."""
    if os.environ.get("CHUNK_PRIVATE_NET") == "1":
        return True
    if os.environ.get("CHUNK_PRIVATE_NET") == "0" or os.geteuid() != 0:
        return False
    if not shutil.which("unshare") or not shutil.which("ip"):
        return False
    probe = subprocess.run(["unshare", "-n", "true"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    if probe.returncode != 0:
        return False
    os.environ["CHUNK_PRIVATE_NET"] = "1"
    sys.stdout.flush()
    sys.stderr.flush()
    os.execvp("unshare", ["unshare", "-n", "--", "sh", "-c", 'ip link set lo up && exec "$@"',
                          "sh", sys.executable] + sys.argv)


PRIVATE_NETWORK = _enter_private_network()
BIN_DIR = os.environ.get("CHUNK_BIN_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
EXE_SUFFIX = os.environ.get("CHUNK_EXE_SUFFIX", "")
RUNNER = shlex.split(os.environ.get("CHUNK_RUNNER", ""))
WINDOWS_PROGRAMS = EXE_SUFFIX.lower() == ".exe"
UNDER_WINE = bool(RUNNER) and "wine" in os.path.basename(RUNNER[0])
# The programs of another processor's instruction set, run by qemu.
UNDER_EMULATION = bool(RUNNER) and os.path.basename(RUNNER[0]).startswith("qemu-")
# Wine needs far longer to start a program than Linux does, an emulated
# server takes seconds to set up its index table, and a server built with
# sanitizers (unoptimised) rebuilds a large store several times slower.
SANITIZED = os.environ.get("CHUNK_SANITIZED") == "1"
START_TIMEOUT = 180.0 if SANITIZED else 90.0 if UNDER_WINE or UNDER_EMULATION else 15.0
EADDRINUSE = 10048 if UNDER_WINE else __import__("errno").EADDRINUSE

TAG_FILE = b"file"
TAG_QUIT = b"quit"
RECORD_SIZE = 21
STORE_NAME = "$dump"
LISTENING_RE = re.compile(r"(?m)^chunkstore: listening on [\d.]+:8888\n")
PORT_LOCK_PATH = os.path.join(tempfile.gettempdir(), "chunkstore-port-8888.lock")


# Programs built with AddressSanitizer ($CHUNK_SANITIZED=1) run the same
# tests. ASan notes once per process, on stderr, that it cannot follow
# ucontext switches fully (the coroutines announce every switch to it); the
# note is dropped before stderr is compared. Anything else it reports stays.
_SANITIZER_NOTE = re.compile(
    rb"==\d+==WARNING: ASan doesn't fully support makecontext/swapcontext functions"
    rb" and may produce false positives in some cases!\n")


_SANITIZER_REPORT = re.compile(rb"ERROR: (Address|Leak)Sanitizer|runtime error: ")


def without_sanitizer_note(err):
    return _SANITIZER_NOTE.sub(b"", err) if SANITIZED else err


def assert_no_sanitizer_report(err, what):
    """A sanitizer report fails the test, whatever else the test checks."""
    if SANITIZED and _SANITIZER_REPORT.search(err):
        raise AssertionError("%s: sanitizer report on stderr:\n%s" %
                             (what, err.decode("latin-1", "replace")))


def program(name):
    return RUNNER + [os.path.join(BIN_DIR, name + EXE_SUFFIX)]


def run_program(name, args, cwd, timeout=120, **kw):
    """Runs a program to its end; returns the CompletedProcess."""
    r = subprocess.run(program(name) + list(args), cwd=cwd, timeout=timeout,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)
    if UNDER_WINE and r.returncode != 0 and r.stdout == b"" and r.stderr == b"":
        # Every failure of these programs says why on stderr. Once, on a
        # loaded machine, a program under Wine ended with status 1 and no
        # output at all, which the same program with the same files never
        # did again in hundreds of runs: Wine had not started it, or had
        # lost its output. Such a run says nothing about the program; it is
        # run once more, and the log says so.
        print("harness: %s %s ended with status %d and no output under Wine; running it again"
              % (name, " ".join(args), r.returncode), file=sys.stderr, flush=True)
        r = subprocess.run(program(name) + list(args), cwd=cwd, timeout=timeout,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)
    assert_no_sanitizer_report(r.stderr, name)
    r.stderr = text_lines(without_sanitizer_note(r.stderr))
    return r


def text_lines(err):
    """A Windows program's standard error is in text mode: its lines end in
    CR LF. Tests compare lines, so they see LF alone."""
    return err.replace(b"\r\n", b"\n") if WINDOWS_PROGRAMS else err


def port_is_free():
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("0.0.0.0", PORT))
        return True
    except OSError:
        return False
    finally:
        s.close()


def wait_port_free(timeout=30.0):
    end = time.time() + timeout
    while time.time() < end:
        if port_is_free():
            return True
        time.sleep(0.05)
    return False


class Server:
    """A chunkstore process in a folder; stdout and stderr go to files."""

    def __init__(self, folder):
        self.folder = folder
        self.out_path = os.path.join(folder, "server.stdout")
        self.err_path = os.path.join(folder, "server.stderr")
        self.proc = None

    def start(self, wait_listening=True, port_must_be_free=True, preexec_fn=None, env=None,
              args=()):
        if port_must_be_free and not wait_port_free():
            raise RuntimeError("port 8888 is still taken before the test starts")
        self._out = open(self.out_path, "wb")
        self._err = open(self.err_path, "wb")
        self.proc = subprocess.Popen(program("chunkstore") + list(args), cwd=self.folder,
                                     stdin=subprocess.DEVNULL, stdout=self._out, stderr=self._err,
                                     preexec_fn=preexec_fn, env=env)
        if wait_listening:
            self.wait_listening()
        return self

    def wait_listening(self):
        """Waits until the server accepts connections."""
        end = time.time() + START_TIMEOUT
        while time.time() < end:
            if self.proc.poll() is not None:
                raise RuntimeError("chunkstore exited with %d: %r %r" %
                                   (self.proc.returncode, self.stdout(), self.stderr()))
            if "port=8888\n" in self.stdout():
                try:
                    probe = socket.create_connection(("127.0.0.1", PORT), timeout=1)
                except OSError:
                    time.sleep(0.02)
                    continue
                # The probe is a client of its own: it sends nothing and closes.
                probe.close()
                self.wait_for("closing ", count=1)
                self.mark = len(self.stdout())
                return
            time.sleep(0.02)
        raise RuntimeError("chunkstore did not start listening: %r" % self.stdout())

    def stdout(self):
        with open(self.out_path, "rb") as f:
            text = f.read().decode("latin-1")
        # A Windows program's standard output is in text mode: its lines end
        # in CR LF. Tests compare lines, so they see LF alone.
        return text.replace("\r\n", "\n") if WINDOWS_PROGRAMS else text

    def raw_stderr(self):
        with open(self.err_path, "rb") as f:
            return text_lines(without_sanitizer_note(f.read())).decode("latin-1")

    def stderr(self):
        """stderr without the line the server prints once it listens, which
        tests of the listening itself read from raw_stderr()."""
        return LISTENING_RE.sub("", self.raw_stderr(), count=1)

    def new_output(self):
        """What the server printed after it started listening."""
        return self.stdout()[self.mark:]

    def wait_for(self, text, count=None, timeout=20.0, since_mark=False):
        """Waits until `text` occurs `count` times (default: once more than
        it does now when since_mark, else at least once) in the output."""
        end = time.time() + timeout
        need = count if count is not None else 1
        while time.time() < end:
            out = self.new_output() if since_mark else self.stdout()
            if out.count(text) >= need:
                return out
            time.sleep(0.01)
        raise AssertionError("timed out waiting for %r in %r" % (text, self.stdout()))

    def wait_exit(self, timeout=30.0):
        return self.proc.wait(timeout=timeout)

    def stop(self):
        """Ends the process this object started, by its process id."""
        if self.proc is not None and self.proc.poll() is None:
            try:
                os.kill(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait(timeout=30)
        for f in (getattr(self, "_out", None), getattr(self, "_err", None)):
            if f:
                f.close()
        if self.proc is not None:
            with open(self.err_path, "rb") as f:
                assert_no_sanitizer_report(f.read(), "chunkstore")


class Running:
    """A program started in the background whose standard error is read as
    it comes, so that a test can wait for a line instead of a fixed time."""

    def __init__(self, name, args, cwd, stdin=None):
        self.name = name
        self.proc = subprocess.Popen(program(name) + list(args), cwd=cwd, stdin=stdin,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self._err = []
        self._cond = threading.Condition()
        self._out = None
        self._readers = [threading.Thread(target=self._read_err, daemon=True),
                         threading.Thread(target=self._read_out, daemon=True)]
        for t in self._readers:
            t.start()

    def _read_err(self):
        while True:
            b = self.proc.stderr.read1(65536)
            with self._cond:
                if not b:
                    self._err.append(None)
                    self._cond.notify_all()
                    return
                self._err.append(b)
                self._cond.notify_all()

    def _read_out(self):
        self._out = self.proc.stdout.read()

    def err_so_far(self):
        return text_lines(b"".join(b for b in self._err if b is not None))

    def wait_err(self, text, timeout=60.0):
        """Waits until `text` is on standard error; fails the test if the
        program ends first or the deadline passes."""
        end = time.time() + timeout
        with self._cond:
            while text not in self.err_so_far():
                if self._err and self._err[-1] is None:
                    raise AssertionError("%s ended without printing %r: %r" %
                                         (self.name, text, self.err_so_far()))
                if not self._cond.wait(timeout=max(0.0, end - time.time())) and time.time() >= end:
                    raise AssertionError("timed out waiting for %r from %s: %r" %
                                         (text, self.name, self.err_so_far()))

    def finish(self, timeout=60.0):
        """Waits for the end; returns (status, stdout, stderr)."""
        status = self.proc.wait(timeout=timeout)
        for t in self._readers:
            t.join(timeout)
        self.proc.stdout.close()
        self.proc.stderr.close()
        err = without_sanitizer_note(self.err_so_far())
        assert_no_sanitizer_report(err, self.name)
        return status, self._out, err


def connect():
    s = socket.create_connection(("127.0.0.1", PORT), timeout=30)
    return s


def file_command(data):
    return TAG_FILE + struct.pack(">Q", len(data)) + data


def recv_all(sock, timeout=60.0):
    """Reads until the server closes the connection."""
    sock.settimeout(timeout)
    parts = []
    while True:
        try:
            b = sock.recv(1 << 16)
        except ConnectionResetError:
            break
        if not b:
            break
        parts.append(b)
    return b"".join(parts)


def store_files(files, half_close=True):
    """Sends each file as a "file" command on one connection and returns the
    records the server sent back, split per file by their real lengths."""
    s = connect()
    try:
        for data in files:
            s.sendall(file_command(data))
        if half_close:
            s.shutdown(socket.SHUT_WR)
        else:
            s.sendall(b"done")
        reply = recv_all(s)
    finally:
        s.close()
    return split_records(reply, [len(d) for d in files])


def parse_records(reply):
    assert len(reply) % RECORD_SIZE == 0, "reply of %d bytes" % len(reply)
    out = []
    for i in range(0, len(reply), RECORD_SIZE):
        r = reply[i:i + RECORD_SIZE]
        length = struct.unpack_from("<H", r, 14)[0]
        offset = struct.unpack_from("<I", r, 16)[0] | (r[20] << 32)
        out.append((r[:14], length, offset))
    return out


def split_records(reply, lengths):
    """Splits a reply into one record list per file. A file's records end
    where their real lengths add up to its length; a file that ends exactly
    on a chunk boundary gets one more record of real length 0. That record
    cannot be told from the record of an empty file that follows, so tests
    never send an empty file right after another one on one connection."""
    recs = parse_records(reply)
    out, i = [], 0
    for k, n in enumerate(lengths):
        got, mine = 0, []
        while got < n or not mine:
            assert i < len(recs), "reply ends before file %d (%d bytes) is complete" % (k, n)
            mine.append(recs[i])
            got += recs[i][1]
            i += 1
        next_is_empty = k + 1 < len(lengths) and lengths[k + 1] == 0
        if mine[-1][1] != 0 and i < len(recs) and recs[i][1] == 0 and not next_is_empty:
            mine.append(recs[i])
            i += 1
        assert got == n, "records of file %d cover %d of %d bytes" % (k, got, n)
        out.append(mine)
    assert i == len(recs), "%d records left over" % (len(recs) - i)
    return out


def read_store(folder):
    with open(os.path.join(folder, STORE_NAME), "rb") as f:
        return f.read()


def restore(store, records):
    return b"".join(store[off * 64: off * 64 + length] for _, length, off in records)


class ScratchTestCase(unittest.TestCase):
    """Each test runs in a fresh scratch folder; servers it starts are
    stopped by process id when it ends."""

    def setUp(self):
        # Port 8888 is one per machine: tests of every checkout and build
        # (also ones run by hand beside ctest) take turns through this lock.
        if not PRIVATE_NETWORK:
            # The port is shared with every other test on this machine.
            self._port_lock = open(PORT_LOCK_PATH, "a")
            fcntl.flock(self._port_lock, fcntl.LOCK_EX)
            self.addCleanup(self._port_lock.close)
        self.folder = tempfile.mkdtemp(prefix="chunk-e2e-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.servers = []

    def start_server(self, wait_listening=True, folder=None, port_must_be_free=True,
                     preexec_fn=None, env=None, args=()):
        srv = Server(folder or self.folder)
        self.servers.append(srv)
        self.addCleanup(srv.stop)
        return srv.start(wait_listening, port_must_be_free, preexec_fn, env, args)


ACCEPT_RE = re.compile(r"^ *(-?\d+): 0\.0\.0\.0:8888 -> 127\.0\.0\.1:(\d+)$")


def accept_line(sock_value, peer_port):
    return "%3i: 0.0.0.0:8888 -> 127.0.0.1:%i\n" % (sock_value, peer_port)


def handler_lines(sock_value, tag):
    return "start handler: %i\nc=%08X file:66696C65 quit:71756974\n" % (sock_value, tag)
