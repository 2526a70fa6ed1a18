"""No program writes over one of its own inputs, however the output's path is
spelled (the same path, "./", "//", a symbolic link, a hard link, a link to
the folder): each refuses with the usage status before reading anything,
and every input keeps its bytes. Outputs that cannot be written are refused
before any work; chunksend refuses inputs that have no length."""
import glob
import hashlib
import os
import shutil
import stat

from harness import STORE_NAME, WINDOWS_PROGRAMS, run_program
from test_tools import ToolsTestCase, random_bytes


def digest_of(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class OutputsTestCase(ToolsTestCase):
    def setUp(self):
        super().setUp()
        self.write("a", random_bytes(300000, 61))
        self.write("b", random_bytes(200000, 62) + random_bytes(300000, 61))
        self.srv = self.start_store_server()
        self.assert_ok(self.send("-q", "-o", "a.list", "a"))
        shutil.copyfile(self.store(), self.path("copy"))
        self.assert_ok(self.send("-q", "-o", "b.list", "b"))
        p = run_program("chunkpack", [self.store(), "a.list", "b.list", "pack"], cwd=self.folder)
        self.assertEqual(p.returncode, 0, p.stderr)
        os.mkdir(self.path("outdir"))

    def run_tool(self, name, args):
        return run_program(name, args, cwd=self.folder, timeout=300)

    def spellings(self, target):
        """Other paths of the file target (relative to the folder)."""
        folder, name = os.path.split(target)
        tag = name.replace("$", "_").replace(".", "_")
        os.symlink(name if not folder else os.path.join(folder, name), self.path("sym_" + tag))
        os.link(self.path(target), self.path("hard_" + tag))
        os.symlink(folder or ".", self.path("dir_" + tag))
        return [("the same path", target),
                ("./", "./" + target),
                ("//", (folder + "//" + name) if folder else ".//" + name),
                ("a symbolic link", "sym_" + tag),
                ("a hard link", "hard_" + tag),
                ("a link to the folder", os.path.join("dir_" + tag, name))]

    def snapshot(self):
        names = ["a", "b", "a.list", "b.list", "copy", "pack", os.path.join("store", STORE_NAME)]
        return {n: digest_of(self.path(n)) for n in names}


class AliasedOutputs(OutputsTestCase):
    def test_every_spelling_of_an_input_is_refused_and_changes_nothing(self):
        store = os.path.join("store", STORE_NAME)
        # (program, its arguments with OUT for the output, the inputs)
        table = [
            ("chunksend", ["-q", "--store", store, "-o", "OUT", "a"], ["a", store]),
            ("chunkcat", [store, "a.list", "-o", "OUT"], [store, "a.list"]),
            ("chunkpack", [store, "a.list", "b.list", "OUT"], [store, "a.list", "b.list"]),
            ("chunkunpack", ["-o", "OUT", "copy", "b.list", "pack"], ["copy", "b.list", "pack"]),
            ("chunkcopy", ["--force", "-q", store, "OUT", "-o", "outdir", "a.list"],
             [store, "a.list"]),
        ]
        before = self.snapshot()
        for program, args, inputs in table:
            for target in inputs:
                for how, out in self.spellings(target):
                    with self.subTest(program=program, input=target, spelling=how):
                        p = self.run_tool(program, [out if a == "OUT" else a for a in args])
                        self.assertEqual(p.returncode, 1, p.stderr)
                        self.assertIn(b"(the same file); nothing was read or written", p.stderr)
                        self.assertEqual(self.snapshot(), before)
                self.tearDownLinks()
        # A rewritten list of chunkcopy that would be the list it reads.
        p = self.run_tool("chunkcopy", ["--force", "-q", store, "new", "-o", ".", "a.list"])
        self.assertEqual(p.returncode, 1, p.stderr)
        self.assertIn(b"the rewritten list ./a.list is the list a.list", p.stderr)
        self.assertEqual(self.snapshot(), before)
        self.assertEqual(glob.glob(self.path("**", "*.part"), recursive=True), [])
        # The server still appends to the store that is there: a restart finds it all.
        self.srv.stop()
        self.start_server(folder=self.path("store"))
        self.assertEqual(self.cat(store, "b.list").stdout, self.read("b"))

    def tearDownLinks(self):
        for p in glob.glob(self.path("sym_*")) + glob.glob(self.path("hard_*")) + \
                glob.glob(self.path("dir_*")):
            os.remove(p)

    def test_the_running_servers_store_is_an_input_of_chunksend(self):
        if WINDOWS_PROGRAMS:
            self.skipTest("Windows offers no way to see another process's open files")
        before = self.snapshot()
        for how, out in self.spellings(os.path.join("store", STORE_NAME)):
            with self.subTest(spelling=how):
                p = self.send("-q", "-o", out, "a")
                self.assertEqual(p.returncode, 1, p.stderr)
                self.assertRegex(p.stderr, rb"is a file that the server on port 8888 \(process "
                                 rb"\d+\) holds open")
                self.assertEqual(self.snapshot(), before)


class UnwritableOutputs(OutputsTestCase):
    def test_outputs_that_cannot_be_written_are_refused_before_any_work(self):
        store = os.path.join("store", STORE_NAME)
        os.mkdir(self.path("adir"))
        table = [
            ("chunksend", ["-q", "-o", "OUT", "a"], 4),
            ("chunkcat", [store, "a.list", "-o", "OUT"], 2),
            ("chunkpack", [store, "a.list", "b.list", "OUT"], 2),
            ("chunkunpack", ["-o", "OUT", "copy", "b.list", "pack"], 2),
        ]
        for program, args, status in table:
            for out, why in [("adir", b"it is a directory"),
                             ("missing/out", b"its folder missing: ")]:
                with self.subTest(program=program, out=out):
                    p = self.run_tool(program, [out if a == "OUT" else a for a in args])
                    self.assertEqual(p.returncode, status, p.stderr)
                    self.assertIn(b"cannot write the ", p.stderr)
                    self.assertIn(why, p.stderr)
                    self.assertEqual(os.listdir(self.path("adir")), [])
                    self.assertFalse(os.path.exists(self.path("missing")))
        p = self.run_tool("chunkcopy", ["-q", store, "missing/new", "-o", "outdir", "a.list"])
        self.assertEqual(p.returncode, 2, p.stderr)
        self.assertIn(b"its folder missing: ", p.stderr)
        self.assertEqual(os.listdir(self.path("outdir")), [])

    def test_a_longest_legal_name_is_written(self):
        name = "x" * 250
        p = self.cat(os.path.join("store", STORE_NAME), "b.list", "-o", name)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(self.read(name), self.read("b"))
        p = self.send("-q", "-o", name + ".l", "a")
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(self.read(name + ".l"), self.read("a.list"))


class InputsWithoutLength(OutputsTestCase):
    def test_devices_fifos_and_proc_files_are_refused_and_the_rest_is_sent(self):
        if WINDOWS_PROGRAMS:
            self.skipTest("Linux devices, FIFOs and /proc")
        os.mkfifo(self.path("fifo"))
        for special in ["/dev/zero", "fifo", "/proc/cpuinfo"]:
            with self.subTest(special=special):
                p = self.send("-q", "-o", "mixed.list", special, "a")
                self.assertEqual(p.returncode, 5, p.stderr)
                self.assertIn(b"whose length cannot be known before it is read; not sent "
                              b"(send it through standard input: chunksend -o LIST - < %s)"
                              % special.encode(), p.stderr)
                self.assertEqual(self.read("mixed.list"), self.read("a.list"))
                p = self.send("-q", "-o", "only.list", special)
                self.assertEqual(p.returncode, 5, p.stderr)
                self.assertFalse(os.path.exists(self.path("only.list")))
        self.assertTrue(stat.S_ISFIFO(os.stat(self.path("fifo")).st_mode))
