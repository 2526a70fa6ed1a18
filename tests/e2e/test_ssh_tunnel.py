"""A remote client through an SSH tunnel: a real sshd (Debian's
openssh-server) on the loopback address of the test's own network namespace,
with keys made for the test, forwards a local port to a chunkstore that
listens on 127.0.0.1 alone; chunksend --port stores a file through it, and
the file restores byte for byte."""
import os
import shutil
import subprocess
import time
import unittest

from harness import (EXE_SUFFIX, PRIVATE_NETWORK, RUNNER, START_TIMEOUT, ScratchTestCase,
                     run_program)

SSHD = "/usr/sbin/sshd"
SSH_PORT = 2222
TUNNEL_PORT = 9888


def wait_for_text(path, text, proc, what):
    end = time.time() + START_TIMEOUT
    while True:
        with open(path, "rb") as f:
            log = f.read().decode("latin-1")
        if text in log:
            return
        if proc.poll() is not None:
            raise AssertionError("%s ended with %d before %r: %s" % (what, proc.returncode, text, log))
        if time.time() > end:
            raise AssertionError("timed out waiting for %r from %s: %s" % (text, what, log))
        time.sleep(0.02)


@unittest.skipIf(RUNNER or EXE_SUFFIX, "the tunnel is tested with the Linux programs")
class SshTunnel(ScratchTestCase):
    def setUp(self):
        super().setUp()
        if not PRIVATE_NETWORK:
            self.skipTest("sshd runs only in a network namespace of the test's own (needs root)")
        for tool in (SSHD, shutil.which("ssh"), shutil.which("ssh-keygen")):
            if not tool or not os.path.exists(tool):
                self.skipTest("openssh-server and openssh-client are not installed")

    def start(self, args, log_name):
        log = os.path.join(self.folder, log_name)
        out = open(log, "wb")
        self.addCleanup(out.close)
        proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=out, stderr=out)

        def stop():
            if proc.poll() is None:
                proc.kill()
            proc.wait(timeout=30)
        self.addCleanup(stop)
        return proc, log

    def keygen(self, name):
        path = os.path.join(self.folder, name)
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", path], check=True)
        with open(path + ".pub") as f:
            return path, f.read().strip()

    def test_a_file_stored_through_the_tunnel_restores(self):
        host_key, host_pub = self.keygen("host_key")
        client_key, client_pub = self.keygen("client_key")
        auth = os.path.join(self.folder, "authorized_keys")
        with open(auth, "w") as f:
            f.write(client_pub + "\n")
        known = os.path.join(self.folder, "known_hosts")
        with open(known, "w") as f:
            f.write("[127.0.0.1]:%d %s\n" % (SSH_PORT, " ".join(host_pub.split()[:2])))
        config = os.path.join(self.folder, "sshd_config")
        with open(config, "w") as f:
            f.write("\n".join([
                "Port %d" % SSH_PORT, "ListenAddress 127.0.0.1", "HostKey " + host_key,
                "AuthorizedKeysFile " + auth, "PidFile none", "StrictModes no", "UsePAM no",
                "PasswordAuthentication no", "KbdInteractiveAuthentication no",
                "PermitRootLogin prohibit-password", "AllowTcpForwarding local",
                # The tunnel reaches the chunk store and nothing else.
                "PermitOpen 127.0.0.1:8888", ""]))
        # sshd's privilege separation needs its empty folder.
        os.makedirs("/run/sshd", mode=0o755, exist_ok=True)

        sshd, sshd_log = self.start([SSHD, "-D", "-e", "-f", config], "sshd.log")
        wait_for_text(sshd_log, "Server listening on 127.0.0.1 port %d" % SSH_PORT, sshd, "sshd")

        store_folder = os.path.join(self.folder, "store")
        os.mkdir(store_folder)
        srv = self.start_server(folder=store_folder, args=["--listen", "127.0.0.1"])

        user = subprocess.run(["id", "-un"], capture_output=True, text=True, check=True).stdout.strip()
        ssh, ssh_log = self.start([
            "ssh", "-F", "/dev/null", "-v", "-N", "-p", str(SSH_PORT), "-i", client_key,
            "-o", "IdentitiesOnly=yes", "-o", "BatchMode=yes", "-o", "StrictHostKeyChecking=yes",
            "-o", "UserKnownHostsFile=" + known, "-o", "ExitOnForwardFailure=yes",
            "-L", "127.0.0.1:%d:127.0.0.1:8888" % TUNNEL_PORT, "%s@127.0.0.1" % user], "ssh.log")
        wait_for_text(ssh_log, "Local forwarding listening on 127.0.0.1 port %d" % TUNNEL_PORT,
                      ssh, "ssh")

        data = os.urandom(3 << 20) + bytes(1 << 20)
        with open(os.path.join(self.folder, "f"), "wb") as f:
            f.write(data)
        r = run_program("chunksend", ["-q", "--port", str(TUNNEL_PORT), "-o", "f.list", "f"],
                        self.folder)
        self.assertEqual(r.returncode, 0, r.stderr)
        r = run_program("chunkcat", [os.path.join(store_folder, "$dump"), "f.list", "-o", "f.back"],
                        self.folder)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(os.path.join(self.folder, "f.back"), "rb") as f:
            self.assertEqual(f.read(), data)
        # The server saw one client, sshd's end of the tunnel.
        self.assertEqual(srv.new_output().count(" 127.0.0.1:8888 -> 127.0.0.1:"), 1)
        with open(sshd_log, "rb") as f:
            self.assertIn(b"Accepted publickey for %s" % user.encode(), f.read())


if __name__ == "__main__":
    unittest.main()
