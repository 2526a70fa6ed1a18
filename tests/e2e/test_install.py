"""cmake --install of the build: every program, its man page made from its
--help, and bash completion of its options."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from harness import BIN_DIR, EXE_SUFFIX, RUNNER

# Options each program's completion and man page must offer, besides -h,
# --help and --version.
OPTIONS = {
    "chunkstore": ["--listen", "--no-sync"],
    "chunkstop": ["--wait"],
    "chunkpack": [],
    "chunksend": ["-o", "--per-file", "--piece-size", "--host", "--port", "--stop", "--timeout",
                  "--store", "--json", "--progress", "-q"],
    "chunkcat": ["-o", "--no-verify", "--progress", "-q", "--check"],
    "chunkinfo": ["--store"],
    "chunkcheck": ["-q", "--progress"],
    "chunkunpack": ["-o"],
    "chunkcopy": ["-o", "--force", "--progress", "-q"],
}


@unittest.skipIf(RUNNER or EXE_SUFFIX, "man pages and completion are for the Linux programs")
class Installed(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.prefix = tempfile.mkdtemp(prefix="chunk-install-")
        subprocess.run(["cmake", "--install", BIN_DIR, "--prefix", cls.prefix], check=True,
                       stdout=subprocess.DEVNULL)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.prefix, ignore_errors=True)

    def completions(self, name, word):
        script = os.path.join(self.prefix, "share", "bash-completion", "completions", name)
        r = subprocess.run(
            ["bash", "-c", 'source "$1"; COMP_WORDS=("$2" "$3"); COMP_CWORD=1; _chunk_complete; '
             'printf "%s\\n" "${COMPREPLY[@]}"; complete -p "$4"', "_", script,
             os.path.join(self.prefix, "bin", name), word, name],
            capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.splitlines()
        self.assertRegex(lines[-1], r"^complete -o default -F _chunk_complete %s$" % name)
        return [l for l in lines[:-1] if l]

    def test_every_program_completes_its_options(self):
        for name, options in OPTIONS.items():
            with self.subTest(program=name):
                offered = self.completions(name, "-")
                for option in options + ["-h", "--help", "--version"]:
                    self.assertIn(option, offered)
                self.assertEqual(len(offered), len(set(offered)), offered)
                # Options only where an option is typed; elsewhere file names.
                self.assertEqual(self.completions(name, "--ver"), ["--version"])
                self.assertEqual(self.completions(name, "f"), [])

    def test_every_program_has_a_man_page_of_its_usage(self):
        pages = os.path.join(self.prefix, "share", "man", "man1")
        if not os.path.isdir(pages):
            self.skipTest("no man pages: help2man was not found when the build was configured")
        if not shutil.which("man"):
            self.skipTest("man (man-db) is not installed")
        for name, options in OPTIONS.items():
            with self.subTest(program=name):
                self.assertTrue(os.access(os.path.join(self.prefix, "bin", name), os.X_OK))
                r = subprocess.run(["man", "-l", os.path.join(pages, name + ".1")],
                                   capture_output=True, text=True,
                                   env=dict(os.environ, MANWIDTH="200", MAN_KEEP_FORMATTING=""))
                self.assertEqual(r.returncode, 0, r.stderr)
                # Justified lines: one blank between words, as in --help.
                page = " ".join(r.stdout.replace("\u2010", "-").split(" "))
                page = "\n".join(" ".join(l.split()) for l in page.split("\n"))
                summary = re.search(r"(?m)^NAME\n%s - ([A-Z].*)$" % name, page)
                self.assertTrue(summary, page)
                # A sentence of its own, not one cut inside a remark.
                self.assertEqual(summary.group(1).count("("), summary.group(1).count(")"))
                self.assertIn("exit status", page)
                for option in options + ["--help", "--version"]:
                    self.assertIn(option, page)


if __name__ == "__main__":
    unittest.main()
