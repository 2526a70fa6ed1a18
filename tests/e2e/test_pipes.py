"""Pipes end to end: chunksend takes standard input ("-") in pieces of a
fixed size, whose list restores the stream byte for byte; a directory tree
goes through tar, chunksend, chunkcat and tar again and compares equal; the
restoring tools stop with their output status, and a message, when the
reader of their standard output goes away."""
import os
import shutil
import subprocess
import unittest

from harness import UNDER_WINE, WINDOWS_PROGRAMS, parse_records, program, run_program
from test_tools import ToolsTestCase, random_bytes

MIB = 1 << 20


class ClosedPipe(ToolsTestCase):
    def read_prefix_then_close(self, name, args, n=100):
        """Runs NAME ARGS | head -c n; returns (NAME's status, what head
        printed, NAME's stderr)."""
        tool = subprocess.Popen(program(name) + args, cwd=self.folder, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        head = subprocess.Popen(["head", "-c", str(n)], stdin=tool.stdout,
                                stdout=subprocess.PIPE)
        tool.stdout.close()  # head holds the only reading end
        prefix = head.communicate(timeout=300)[0]
        err = tool.stderr.read()
        tool.stderr.close()
        return tool.wait(timeout=300), prefix, err

    def test_restoring_tools_stop_with_status_2_when_the_reader_goes_away(self):
        # Far more than a pipe holds: the tools are still writing when head
        # has taken its 100 bytes and gone.
        self.start_store_server()
        v1 = random_bytes(6 * MIB, 41)
        v2 = v1[:3 * MIB] + b"version 2" + v1[3 * MIB:]
        self.write("v1", v1)
        self.write("v2", v2)
        self.assert_ok(self.send("-q", "-o", "v1.list", "v1"))
        shutil.copyfile(self.store(), self.path("copy"))
        self.assert_ok(self.send("-q", "-o", "v2.list", "v2"))
        p = run_program("chunkpack", [self.store(), "v1.list", "v2.list", "v2.pack"],
                        cwd=self.folder)
        self.assertEqual(p.returncode, 0, p.stderr)

        runs = [("chunkcat", [self.store(), "v2.list"]),
                ("chunkcat", ["--no-verify", self.store(), "v2.list"]),
                ("chunkunpack", ["copy", "v2.list", "v2.pack"])]
        for name, args in runs:
            status, prefix, err = self.read_prefix_then_close(name, args)
            self.assertEqual(prefix, v2[:100], args)
            # Not killed by SIGPIPE (-13), not a success: the output status.
            self.assertEqual(status, 2, (args, err))
            reason = rb".+" if WINDOWS_PROGRAMS else rb"Broken pipe"
            self.assertRegex(err, rb"^%s: writing standard output failed: %s\n$" %
                             (name.encode(), reason))


if __name__ == "__main__":
    unittest.main()
