"""chunkversions prune end to end: old versions forgotten in one command
while a real server keeps running on the store folder and a client keeps
storing versions; nothing stored is lost on the way, the new store is the one
a fresh server would hold, and a prune interrupted at any moment leaves the
old store folder or the new one, whole."""
import hashlib
import os
import signal
import subprocess
import threading
import time

from harness import STORE_NAME, WINDOWS_PROGRAMS, program, run_program
from test_tools import ToolsTestCase, random_bytes


def digest(data):
    return hashlib.sha256(data).hexdigest()


class PruneTestCase(ToolsTestCase):
    def versions(self, *args):
        return run_program("chunkversions", list(args), cwd=self.folder, timeout=600)

    def listed(self):
        p = self.versions("list", "store")
        self.assertEqual(p.returncode, 0, p.stderr)
        return [line.split()[0] for line in p.stdout.decode().splitlines()[1:] if line.strip()]

    def content(self, k):
        """Version k: mostly what the others hold, and some bytes of its own."""
        base = random_bytes(300000, 70)
        return base[:(k * 7919) % 250000] + random_bytes(20000 + k % 5 * 1000, 1000 + k) + base[250000:]

    def store_version(self, name, data):
        path = self.write(name + ".in", data)
        p = self.send("-q", "--store", "store", "--name", name, path)
        os.remove(path)
        return p

    def assert_restores(self, stored):
        for name in self.listed():
            p = self.cat("store", name)
            self.assertEqual(p.returncode, 0, p.stderr)
            self.assertEqual(digest(p.stdout), stored[name], name)


class PruneWhileStoring(PruneTestCase):
    def test_prunes_lose_nothing_while_a_client_keeps_storing(self):
        self.start_store_server()
        stored = {}          # name -> digest, once chunksend said it was stored
        finished = {}        # name -> when its chunksend ended
        lock = threading.Lock()
        stop = threading.Event()
        failures = []

        def client():
            k = 0
            while not stop.is_set():
                k += 1
                data = self.content(k)
                p = self.store_version("c%d" % k, data)
                if p.returncode != 0:
                    failures.append(p.stderr)
                    return
                with lock:
                    stored["c%d" % k] = digest(data)
                    finished["c%d" % k] = time.monotonic()

        for k in range(1, 4):
            p = self.store_version("seed%d" % k, self.content(100 + k))
            self.assertEqual(p.returncode, 0, p.stderr)
            stored["seed%d" % k] = digest(self.content(100 + k))
        sender = threading.Thread(target=client)
        sender.start()
        carried = 0
        try:
            for round_ in range(20):
                started = time.monotonic()
                p = self.versions("prune", "store", "--keep-last", "2", "-q", "--json")
                self.assertEqual(p.returncode, 0, p.stderr)
                carried += int(p.stdout.split(b'"carried": ')[1].split(b",")[0])
                # Only what was stored before the listing began must be in
                # it: a chunksend that ends while it runs may come after it.
                listed_at = time.monotonic()
                after = set(self.listed())
                with lock:
                    late = [n for n, t in finished.items() if started < t < listed_at]
                # Stored while the prune ran: carried over, never lost.
                for name in late:
                    self.assertIn(name, after, "round %d lost %s" % (round_, name))
                self.assertFalse(failures, failures)
        finally:
            stop.set()
            sender.join()
        self.assertFalse(failures, failures)
        print("\n20 prunes while storing: %d versions stored, %d carried into a new store"
              % (len(stored), carried))
        self.assert_restores(stored)
        p = self.versions("check", "store", "-q")
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertTrue(any(n.startswith("c") for n in self.listed()))


class PruneResult(PruneTestCase):
    def test_the_new_store_is_a_fresh_servers_and_the_old_versions_are_gone(self):
        srv = self.start_store_server()
        data = {"v%d" % k: self.content(k) for k in range(1, 5)}
        for name, d in data.items():
            self.assertEqual(self.store_version(name, d).returncode, 0)
        before = os.path.getsize(self.store())
        p = self.versions("prune", "store", "--keep", "v1", "--keep-last", "2", "--json")
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertIn(b'"kept": 3, "carried": 0, "dropped": 1', p.stdout)
        self.assertEqual(self.listed(), ["v1", "v3", "v4"])
        self.assertFalse(os.path.exists(self.path("store", ".prune")))
        self.assertFalse(os.path.exists(self.path("store", "$switch")))
        self.assertLess(os.path.getsize(self.store()), before)
        self.assert_restores({n: digest(d) for n, d in data.items()})
        # Byte for byte the store of a fresh server sent the kept versions in order.
        srv.stop()
        os.mkdir(self.path("fresh"))
        self.start_server(folder=self.path("fresh"))
        for name in ["v1", "v3", "v4"]:
            path = self.write(name + ".in", data[name])
            self.assertEqual(self.send("-q", "-o", name + ".list", path).returncode, 0)
        self.assertEqual(self.read(os.path.join("fresh", STORE_NAME)),
                         self.read(os.path.join("store", STORE_NAME)))

    def test_refusals_change_nothing(self):
        self.start_store_server()
        for k in (1, 2):
            self.assertEqual(self.store_version("v%d" % k, self.content(k)).returncode, 0)
        before = self.read(os.path.join("store", STORE_NAME))
        cases = [
            (["prune", "store", "--keep", "nosuch"], 1, b"no version nosuch"),
            (["prune", "store"], 1, b"prune needs what to keep"),
            (["prune", "store", "--keep-newer-than", "yesterday"], 1, b"YYYY-MM-DD"),
            (["prune", "nowhere", "--keep-last", "1"], 1, b"not a store folder"),
            (["prune", "store", "--keep-last", "5"], 0, b"every version is kept"),
            (["prune", "store", "--keep-newer-than", "2000-01-01"], 0, b"every version is kept"),
        ]
        for args, status, message in cases:
            with self.subTest(args=args):
                p = self.versions(*args)
                self.assertEqual(p.returncode, status, p.stderr)
                self.assertIn(message, p.stderr)
                self.assertEqual(self.read(os.path.join("store", STORE_NAME)), before)
                self.assertEqual(self.listed(), ["v1", "v2"])


class PruneInterrupted(PruneTestCase):
    def test_an_interrupted_prune_leaves_the_old_or_the_new_folder_whole(self):
        if WINDOWS_PROGRAMS:
            self.skipTest("signals")
        srv = self.start_store_server()
        data = {"v%d" % k: self.content(k) for k in range(1, 7)}
        for name, d in data.items():
            self.assertEqual(self.store_version(name, d).returncode, 0)
        want = {n: digest(d) for n, d in data.items()}
        # Killed ever later: afterwards the folder is either all old or all new.
        for delay_ms in range(0, 400, 40):
            names_before = self.listed()
            if len(names_before) <= 2:
                break
            prune = subprocess.Popen(program("chunkversions") +
                                     ["prune", "store", "--keep-last", "2", "-q"],
                                     cwd=self.folder, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + delay_ms / 1000.0
            while time.monotonic() < deadline and prune.poll() is None:
                time.sleep(0.005)
            if prune.poll() is None:
                prune.send_signal(signal.SIGKILL)
            prune.wait()
            # A server restart finishes a switch that the kill cut short.
            srv.stop()
            srv = self.start_server(folder=self.path("store"))
            self.assertIn(self.listed(), (names_before, names_before[-2:]), delay_ms)
            self.assert_restores(want)
            p = self.versions("check", "store", "-q")
            self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        # The next prune clears what a killed one left.
        p = self.versions("prune", "store", "--keep-last", "2", "-q")
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(self.listed(), ["v5", "v6"])
        self.assertFalse(os.path.exists(self.path("store", ".prune")))
        self.assert_restores(want)
