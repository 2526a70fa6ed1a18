"""chunkmirror end to end: a master store folder published while its server
serves and versions keep coming, mirrors pulled from a real nginx on
loopback (or from the folder itself), and the faults a mirror meets on the
way: a web server that stops in the middle of a download, segments served
cut short or with a byte flipped, a mirror of another store, a pruned
master. After every pull the mirror's store is a byte prefix of the
master's and every version it holds restores byte for byte."""
import hashlib
import os
import shutil
import signal
import socket
import subprocess
import threading
import time
import unittest

from harness import (PRIVATE_NETWORK, STORE_NAME, WINDOWS_PROGRAMS, program, run_program)
from test_tools import ToolsTestCase, random_bytes

NGINX = shutil.which("nginx") or ("/usr/sbin/nginx" if os.path.exists("/usr/sbin/nginx") else None)
HTTP_PORT = 8080

NGINX_CONF = """daemon off;
master_process off;
worker_processes 1;
pid {d}/nginx.pid;
error_log {d}/error.log;
events {{ worker_connections 64; }}
http {{
  access_log {d}/access.log;
  client_body_temp_path {d}/body;
  proxy_temp_path {d}/proxy;
  fastcgi_temp_path {d}/fastcgi;
  uwsgi_temp_path {d}/uwsgi;
  scgi_temp_path {d}/scgi;
  default_type application/octet-stream;
  server {{
    listen 127.0.0.1:{port};
    root {root};
    location /slow/ {{ alias {root}/; limit_rate 512k; }}
  }}
}}
"""


def needs_nginx(test):
    if NGINX is None:
        return unittest.skip("nginx is not installed (scripts/deps.sh test installs it)")(test)
    if not PRIVATE_NETWORK:
        return unittest.skip("nginx runs only in a network namespace of the test's own")(test)
    if WINDOWS_PROGRAMS:
        return unittest.skip("the Windows builds have no HTTP client; folder sources are tested")(test)
    return test



def bytes_sent(pid):
    """What process pid has written so far (files, and sockets by sendfile), from /proc."""
    try:
        with open("/proc/%d/io" % pid) as f:
            for line in f:
                if line.startswith("wchar:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0

class MirrorTestCase(ToolsTestCase):
    def mirror(self, *args, timeout=600):
        return run_program("chunkmirror", list(args), cwd=self.folder, timeout=timeout)

    def publish(self, pub="pub", *more):
        p = self.mirror("publish", "store", pub, "--segment-size", "131072", "-q", *more)
        self.assertEqual(p.returncode, 0, p.stderr)

    def content(self, k):
        """Version k: most of what the one before held, and bytes of its own."""
        base = random_bytes(400000, 30)
        cut = (k * 15013) % 300000
        return base[:cut] + random_bytes(30000 + k * 997, 500 + k) + base[cut:]

    def store_version(self, name, data, store="store"):
        path = self.write(name + ".in", data)
        p = self.send("-q", "--store", store, "--name", name, path)
        self.assertEqual(p.returncode, 0, p.stderr)
        os.remove(path)

    def versions_of(self, folder):
        p = run_program("chunkversions", ["list", folder], cwd=self.folder)
        self.assertEqual(p.returncode, 0, p.stderr)
        return [line.split()[0] for line in p.stdout.decode().splitlines()[1:] if line.strip()]

    def assert_follows(self, stored, mirror="mirror"):
        """The mirror's store is a prefix of the master's; each of its
        versions restores as stored."""
        master = self.read(os.path.join("store", STORE_NAME))
        mine = self.read(os.path.join(mirror, STORE_NAME))
        self.assertTrue(master.startswith(mine), "the mirror is not a prefix of the master")
        for name in self.versions_of(mirror):
            p = self.cat(mirror, name)
            self.assertEqual(p.returncode, 0, p.stderr)
            self.assertEqual(hashlib.sha256(p.stdout).hexdigest(), stored[name], name)

    def snapshot(self, folder):
        """Every file of the mirror that a pull may change, and its bytes."""
        out = {}
        for root, _, files in os.walk(self.path(folder)):
            for f in files:
                if f.startswith("$fetch-") or f in ("$pull", "$lock"):
                    continue  # a download in progress, empty lock files
                with open(os.path.join(root, f), "rb") as fh:
                    out[os.path.relpath(os.path.join(root, f), self.path(folder))] = fh.read()
        return out

    # nginx, serving the test's folder, stopped by its process id.
    def start_nginx(self):
        probe = self.mirror("pull", "http://127.0.0.1:9/", "probe")
        if b"no HTTP client" in probe.stderr:
            raise unittest.SkipTest("this build has no HTTP client (libcurl did not link for it)")
        d = self.path("nginx")
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "nginx.conf"), "w") as f:
            f.write(NGINX_CONF.format(d=d, port=HTTP_PORT, root=self.folder))
        self.nginx = subprocess.Popen([NGINX, "-p", d, "-c", os.path.join(d, "nginx.conf")],
                                      stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
        self.addCleanup(self.stop_nginx, signal.SIGKILL)
        end = time.time() + 30
        while time.time() < end:
            self.assertIsNone(self.nginx.poll(), "nginx exited")
            try:
                socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=1).close()
                return
            except OSError:
                time.sleep(0.02)
        self.fail("nginx does not listen")

    def stop_nginx(self, sig=signal.SIGTERM):
        if self.nginx is not None and self.nginx.poll() is None:
            self.nginx.send_signal(sig)
            self.nginx.wait(30)
        self.nginx = None

    def url(self, path):
        return "http://127.0.0.1:%d/%s" % (HTTP_PORT, path)


class MirrorFollowsMaster(MirrorTestCase):
    @needs_nginx
    def test_twenty_versions_published_while_stored_pulled_over_http_with_packs(self):
        self.start_nginx()
        self.start_store_server()
        stop = threading.Event()
        failures = []

        def publisher():
            # Publishes again and again while the versions come in.
            while not stop.is_set():
                p = self.mirror("publish", "store", "pub", "--segment-size", "131072", "-q")
                if p.returncode != 0:
                    failures.append(p.stderr)
                    return

        t = threading.Thread(target=publisher)
        t.start()
        stored = {}
        try:
            for k in range(1, 21):
                name = "v%d" % k
                data = self.content(k)
                self.store_version(name, data)
                stored[name] = hashlib.sha256(data).hexdigest()
                if k > 1:
                    # A site whose mirror is current for the version before
                    # restores this one from a pack and the list.
                    old, new = "store/versions/v%d.list" % (k - 1), "store/versions/%s.list" % name
                    p = run_program("chunkpack", ["store/" + STORE_NAME, old, new, "step.pack"],
                                    cwd=self.folder)
                    self.assertEqual(p.returncode, 0, p.stderr)
                    p = run_program("chunkunpack", ["mirror/" + STORE_NAME, new, "step.pack",
                                                    "-o", "step.out"], cwd=self.folder)
                    self.assertEqual(p.returncode, 0, p.stderr)
                    self.assertEqual(self.read("step.out"), data, name)
                self.publish()
                p = self.mirror("pull", self.url("pub"), "mirror")
                self.assertEqual(p.returncode, 0, p.stderr)
                self.assertIn(name, self.versions_of("mirror"))
                self.assert_follows(stored)
        finally:
            stop.set()
            t.join()
        self.assertEqual(failures, [])
        self.assertEqual(self.versions_of("mirror"), ["v%d" % k for k in range(1, 21)])

    def test_a_server_on_the_mirror_serves_what_later_pulls_bring(self):
        self.start_store_server()
        for k in (1, 2):
            self.store_version("v%d" % k, self.content(k))
            self.publish()
        # A server runs on a new mirror while a pull fills it: its next
        # client finds the pulled chunks in its index, so storing a version
        # the mirror holds adds nothing to the mirror's store.
        self.servers[0].stop()
        os.mkdir(self.path("mirror"))
        mirror_server = self.start_server(folder=self.path("mirror"))
        self.assertEqual(self.mirror("pull", "pub", "mirror", "-q").returncode, 0)
        size = os.path.getsize(self.path("mirror", STORE_NAME))
        path = self.write("again.in", self.content(2))
        p = self.send("-q", "-o", "again.list", path)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertIn("grew between clients", mirror_server.stderr())
        self.assertEqual(os.path.getsize(self.path("mirror", STORE_NAME)), size)
        self.assertEqual(self.mirror("pull", "pub", "mirror", "-q").returncode, 0)
        # A version stored into the mirror itself is bytes of its own: the
        # mirror no longer follows the master, and a pull says so.
        self.store_version("v3", self.content(3), store="mirror")
        before = self.snapshot("mirror")
        p = self.mirror("pull", "pub", "mirror")
        self.assertEqual(p.returncode, 4, p.stderr)
        self.assertIn(b"no pull appended", p.stderr)
        self.assertEqual(self.snapshot("mirror"), before)


class MirrorFaults(MirrorTestCase):
    def master_with(self, versions, store="store", pub="pub"):
        stored = {}
        for k in versions:
            data = self.content(k)
            self.store_version("v%d" % k, data, store)
            stored["v%d" % k] = hashlib.sha256(data).hexdigest()
        p = self.mirror("publish", store, pub, "--segment-size", "131072", "-q")
        self.assertEqual(p.returncode, 0, p.stderr)
        return stored

    @needs_nginx
    def test_a_download_cut_by_the_web_server_resumes_at_the_next_pull(self):
        self.start_store_server()
        data = random_bytes(3 << 20, 7)
        self.store_version("big", data)
        p = self.mirror("publish", "store", "pub", "--segment-size", str(16 << 20), "-q")
        self.assertEqual(p.returncode, 0, p.stderr)
        self.start_nginx()
        pull = subprocess.Popen(program("chunkmirror") + ["pull", self.url("slow/pub"), "mirror"],
                                cwd=self.folder, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        # nginx goes away once part of the one segment has gone out: it has
        # sent more than 256 KiB (the manifest is a few hundred bytes).
        end = time.time() + 120
        began = False
        while not began and time.time() < end and pull.poll() is None:
            began = bytes_sent(self.nginx.pid) > (256 << 10)
            if not began:
                time.sleep(0.01)
        self.assertTrue(began, "the download did not begin")
        self.stop_nginx(signal.SIGKILL)
        out, err = pull.communicate(timeout=120)
        self.assertEqual(pull.returncode, 2, err)
        self.assertIn(b"run pull again to resume", err)
        self.assertFalse(os.path.exists(self.path("mirror", STORE_NAME)))
        # What came before the break is kept for the next pull.
        names = [n for n in os.listdir(self.path("mirror")) if n.startswith("$fetch-")]
        self.assertEqual(len(names), 1, names)
        had = os.path.getsize(self.path("mirror", names[0]))
        self.assertGreater(had, 0)
        self.assertLess(had, len(data))

        self.start_nginx()
        p = self.mirror("pull", self.url("pub"), "mirror")
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertIn(b"resuming", p.stderr)
        self.assertIn(b"%d resumed" % had, p.stdout)
        with open(self.path("nginx", "access.log")) as f:
            self.assertIn('" 206 ', f.read())
        self.assertEqual(self.read("mirror/" + STORE_NAME), self.read("store/" + STORE_NAME))
        p = self.cat("mirror", "big")
        self.assertEqual(p.stdout, data)

    @needs_nginx
    def test_damaged_downloads_are_refused_and_the_mirror_stays_as_it_was(self):
        self.start_store_server()
        stored = self.master_with([1])
        self.assertEqual(self.mirror("pull", "pub", "mirror", "-q").returncode, 0)
        stored.update(self.master_with([2]))
        with open(self.path("pub", "manifest")) as f:
            last = f.read().split("\nversion")[0].splitlines()[-1].split()[3]
        seg = os.path.join("segments", last + ".seg")

        def truncated(path):
            with open(path, "r+b") as f:
                f.truncate(os.path.getsize(path) - 1000)

        def flipped(path):
            # Near the end: the download the cut one left is resumed first.
            at = os.path.getsize(path) - 100
            with open(path, "r+b") as f:
                f.seek(at)
                b = f.read(1)
                f.seek(at)
                f.write(bytes([b[0] ^ 0x20]))

        def cut_manifest(_):
            p = os.path.join(self.folder, "bad", "manifest")
            with open(p, "rb") as f:
                text = f.read()
            with open(p, "wb") as f:
                f.write(text[:len(text) // 2])

        self.start_nginx()
        for damage, target, said in [(truncated, seg, b"came cut short"),
                                     (flipped, seg, b"its SHA-256 is not the manifest's"),
                                     (cut_manifest, None, b"the manifest")]:
            with self.subTest(damage=damage.__name__):
                shutil.rmtree(self.path("bad"), ignore_errors=True)
                shutil.copytree(self.path("pub"), self.path("bad"))
                damage(self.path("bad", target) if target else None)
                before = self.snapshot("mirror")
                p = self.mirror("pull", self.url("bad"), "mirror")
                self.assertEqual(p.returncode, 3, p.stderr)
                self.assertIn(said, p.stderr)
                self.assertEqual(self.snapshot("mirror"), before)
                self.assert_follows(stored)
        # The same mirror takes the good segments afterwards.
        p = self.mirror("pull", self.url("pub"), "mirror", "-q")
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(self.versions_of("mirror"), ["v1", "v2"])
        self.assert_follows(stored)

    def test_an_append_cut_by_a_crash_is_completed_from_the_kept_download(self):
        self.start_store_server()
        stored = self.master_with([1])
        self.assertEqual(self.mirror("pull", "pub", "mirror", "-q").returncode, 0)
        stored.update(self.master_with([2]))
        held = os.path.getsize(self.path("mirror", STORE_NAME))
        with open(self.path("pub", "manifest")) as f:
            sha = [line.split()[3] for line in f if line.startswith("segment %d " % held)][0]
        seg = self.read(os.path.join("pub", "segments", sha + ".seg"))
        # As a crash leaves it: the download whole, part of it appended.
        self.write(os.path.join("mirror", "$fetch-" + sha), seg)
        with open(self.path("mirror", STORE_NAME), "ab") as f:
            f.write(seg[:len(seg) // 2])
        p = self.mirror("pull", "pub", "mirror", "-q")
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(self.read("mirror/" + STORE_NAME), self.read("store/" + STORE_NAME))
        self.assert_follows(stored)

    def test_a_mirror_of_another_store_or_of_a_pruned_master_is_refused(self):
        self.start_store_server()
        stored = self.master_with([1, 2, 3])
        self.assertEqual(self.mirror("pull", "pub", "mirror", "-q").returncode, 0)
        self.servers[0].stop()
        os.mkdir(self.path("other"))
        self.start_server(folder=self.path("other"))
        self.master_with([9], store="other", pub="otherpub")
        p = run_program("chunkversions", ["prune", "store", "--keep-last", "1", "-q"],
                        cwd=self.folder)
        self.assertEqual(p.returncode, 0, p.stderr)
        p = self.mirror("publish", "store", "pub", "-q")
        self.assertEqual(p.returncode, 4, p.stderr)
        self.assertIn(b"no longer extends", p.stderr)
        p = self.mirror("publish", "store", "prunedpub", "--segment-size", "131072", "-q")
        self.assertEqual(p.returncode, 0, p.stderr)
        for source, said in [("otherpub", b"another store"), ("prunedpub", b"pruned or replaced")]:
            with self.subTest(source=source):
                before = self.snapshot("mirror")
                p = self.mirror("pull", source, "mirror")
                self.assertEqual(p.returncode, 4, p.stderr)
                self.assertIn(said, p.stderr)
                self.assertEqual(self.snapshot("mirror"), before)
        # A store folder that no pull made is not taken over either, and no
        # folder is published into itself.
        for args, status in [(("pull", "pub", "other"), 4), (("publish", "store", "./store"), 1),
                             (("pull", "pub", "pub/"), 1)]:
            before = self.snapshot(args[2])
            p = self.mirror(*args)
            self.assertEqual(p.returncode, status, p.stderr)
            self.assertEqual(self.snapshot(args[2]), before, args)
        self.assertEqual(self.versions_of("mirror"), ["v1", "v2", "v3"])
        for name in ["v1", "v2", "v3"]:
            self.assertEqual(hashlib.sha256(self.cat("mirror", name).stdout).hexdigest(),
                             stored[name])


if __name__ == "__main__":
    unittest.main()
