"""Versions end to end: three versions stored by name through a real server
into its store folder, listed (text and JSON), restored by name byte for
byte; a chunk's bytes damaged in $dump and exactly the versions that name it
reported by chunkversions check; a damaged description or list found; a
name that exists refused, and --replace."""
import hashlib
import json
import os
import re

from harness import STORE_NAME, parse_records, run_program
from test_list_and_store_checks import text
from test_tools import ToolsTestCase, random_bytes


class VersionsTestCase(ToolsTestCase):
    def versions(self, *args):
        return run_program("chunkversions", list(args), cwd=self.folder, timeout=300)

    def catalogue(self, name=""):
        return self.path("store", "versions", name)

    def files(self):
        """Three versions: v2 shares most of v1's chunks; "solo" (in v3 only)
        shares none of them."""
        v1 = random_bytes(600000, 51)
        v2 = v1[:200000] + b"an edit" + v1[200000:] + random_bytes(5000, 52)
        return {"v1": {"a": v1}, "v2": {"a": v2}, "v3": {"a": v1, "solo": random_bytes(90000, 53)}}

    def store_three(self):
        self.start_store_server()
        for name, parts in self.files().items():
            for part, data in parts.items():
                self.write("%s.%s" % (name, part), data)
            p = self.send("--store", "store", "--name", name,
                          *["%s.%s" % (name, part) for part in parts])
            self.assertEqual(p.returncode, 0, p.stderr)
            self.assertIn(("chunksend: version %s stored: store/versions/%s.version\n"
                           % (name, name)).encode(), p.stderr)

    def expected(self, name):
        return b"".join(self.files()[name].values())


class Versions(VersionsTestCase):
    def test_store_list_restore_check_and_stats(self):
        self.store_three()
        files = self.files()
        self.assertEqual(sorted(os.listdir(self.catalogue())),
                         ["v1.list", "v1.version", "v2.list", "v2.version", "v3.list",
                          "v3.version"])
        size = os.path.getsize(self.store())

        # The description: what was sent, and what it added to the store.
        with open(self.catalogue("v3.version")) as f:
            desc = dict(line.rstrip("\n").split(" ", 1) for line in f if not line.startswith("input"))
        self.assertEqual(desc["list-sha256"],
                         hashlib.sha256(self.read("store/versions/v3.list")).hexdigest())
        self.assertEqual(int(desc["store-end"]), size)
        self.assertEqual(int(desc["bytes"]), len(self.expected("v3")))

        p = self.versions("list", "store")
        self.assertEqual(p.returncode, 0, p.stderr)
        lines = p.stdout.decode().splitlines()
        self.assertEqual(lines[0].split(), ["NAME", "STORED", "BYTES", "NEW", "BYTES", "RECORDS"])
        self.assertEqual([line.split()[0] for line in lines[1:]], ["v1", "v2", "v3"])
        p = self.versions("list", "store", "--json")
        self.assertEqual(p.returncode, 0, p.stderr)
        listed = json.loads(p.stdout)["versions"]
        self.assertEqual([v["name"] for v in listed], ["v1", "v2", "v3"])
        self.assertEqual([v["inputs"] for v in listed],
                         [["v1.a"], ["v2.a"], ["v3.a", "v3.solo"]])
        self.assertEqual([v["bytes"] for v in listed],
                         [len(self.expected(n)) for n in ("v1", "v2", "v3")])
        # The store was empty: the first version's new bytes hold its header.
        self.assertEqual(sum(v["new_bytes"] for v in listed), size)
        self.assertEqual(listed[2]["store_end"], size)
        for v in listed:
            self.assertEqual(v["records"], len(self.read("store/" + v["list"])) // 21)

        for name in files:
            p = self.cat("store", name, "-o", name + ".out")
            self.assertEqual(p.returncode, 0, p.stderr)
            self.assertEqual(self.read(name + ".out"), self.expected(name), name)
        p = self.cat("store", "v2")  # standard output
        self.assertEqual((p.returncode, p.stdout), (0, self.expected("v2")), p.stderr)
        p = self.cat("--check", "store", "v1", "v3")
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertRegex(text(p.stdout), r"^v1: \d+ records, 600000 bytes: ok\nv3: ")

        p = self.versions("check", "store")
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertTrue(text(p.stdout).endswith("store file: clean\n"
                        "version v1: %d records, 600000 bytes: ok\n" % listed[0]["records"] +
                        "version v2: %d records, %d bytes: ok\n" % (listed[1]["records"],
                                                                    len(self.expected("v2"))) +
                        "version v3: %d records, %d bytes: ok\nclean\n" % (
                            listed[2]["records"], len(self.expected("v3")))), p.stdout)

        p = self.versions("stats", "store", "--json")
        self.assertEqual(p.returncode, 0, p.stderr)
        stats = json.loads(p.stdout)
        named = sum(len(self.expected(n)) for n in files)
        self.assertEqual((stats["versions"], stats["bytes_named"], stats["bytes_stored"]),
                         (3, named, size))
        self.assertAlmostEqual(stats["saved_percent"], 100.0 * (named - size) / named, places=2)
        check = json.loads(run_program("chunkcheck", ["--json", self.store()],
                                       cwd=self.folder).stdout)
        self.assertEqual((stats["padding_bytes"], stats["distinct_chunks"]),
                         (check["padding_bytes"], check["distinct_chunks"]))
        self.assertTrue(check["clean"])

    def test_a_damaged_chunk_is_reported_in_exactly_the_versions_that_name_it(self):
        self.store_three()
        v3 = parse_records(self.read("store/versions/v3.list"))
        named = {n: {off for _, _, off in parse_records(self.read("store/versions/%s.list" % n))}
                 for n in ("v1", "v2")}
        # Each case: a chunk of v3, and the versions that name it.
        solo_first = len(parse_records(self.read("store/versions/v3.list"))) - 1
        while v3[solo_first - 1][2] not in named["v1"] | named["v2"]:
            solo_first -= 1
        shared = next(r for r in v3 if r[2] in named["v1"] and r[2] in named["v2"])
        cases = [(v3[solo_first + 1], ["v3"]), (shared, ["v1", "v2", "v3"])]
        original = self.read("store/" + STORE_NAME)
        for (digest, length, offset), bad in cases:
            with self.subTest(offset=offset, bad=bad):
                damaged = bytearray(original)
                at = offset * 64 + length // 2
                damaged[at:at + 3] = bytes(b ^ 0x5A for b in damaged[at:at + 3])
                with open(self.store(), "wb") as f:
                    f.write(damaged)
                p = self.versions("check", "store", "--json")
                self.assertEqual(p.returncode, 3, p.stderr)
                report = json.loads(p.stdout)
                self.assertEqual(report["bad_versions"], bad)
                self.assertFalse(report["clean"])
                for v in report["versions"]:
                    self.assertEqual(v["bad_records"] > 0, v["name"] in bad, v)
                self.assertIn(b"chunkversions: v3: record", p.stderr)
                p = self.versions("check", "store")
                self.assertEqual(p.returncode, 3)
                self.assertIn("bad versions: %s\nnot clean\n" % " ".join(bad), text(p.stdout))
        with open(self.store(), "wb") as f:
            f.write(original)
        self.assertEqual(self.versions("check", "-q", "store").returncode, 0)

    def test_a_damaged_description_or_list_is_found_before_it_is_used(self):
        self.store_three()
        list_bytes = self.read("store/versions/v2.list")
        desc = self.read("store/versions/v1.version")
        # A record changed inside v2's list: its digest no longer matches.
        changed = bytearray(list_bytes)
        changed[5] ^= 1
        self.write("store/versions/v2.list", bytes(changed))
        p = self.cat("store", "v2", "-o", "v2.out")
        self.assertEqual(p.returncode, 3)
        self.assertRegex(p.stderr.decode(), r"^chunkcat: the list of version v2 is damaged: ")
        self.assertFalse(os.path.exists(self.path("v2.out")))
        # A description cut short: that version is no version any more.
        self.write("store/versions/v1.version", desc[:len(desc) // 2])
        p = self.versions("check", "store", "--json")
        self.assertEqual(p.returncode, 3)
        report = json.loads(p.stdout)
        self.assertEqual(report["bad_versions"], ["v2"])
        self.assertEqual(len(report["damaged"]), 1)
        self.assertTrue(report["damaged"][0].startswith("v1.version: "), report["damaged"])
        p = self.versions("list", "store")
        self.assertEqual(p.returncode, 3)
        self.assertIn(b"v1.version is damaged", p.stderr)
        self.assertEqual(self.cat("store", "v1", "-o", "v1.out").returncode, 3)
        # No such version, and names that are none, which must not reach
        # outside the catalogue.
        self.write("store/outside.version", desc)
        for name in ("v9", "../outside", "v1/../v2"):
            p = self.cat("store", name, "-o", "x.out")
            self.assertEqual(p.returncode, 1, (name, p.stderr))
            self.assertFalse(os.path.exists(self.path("x.out")))

    def test_a_name_that_exists_is_refused_unless_replaced(self):
        self.store_three()
        self.write("new", b"a version that replaces v1\n" * 1000)
        before = self.read("store/versions/v1.version")
        size = os.path.getsize(self.store())
        p = self.send("--store", "store", "--name", "v1", "new")
        self.assertEqual(p.returncode, 1)
        self.assertIn(b"the version v1 exists", p.stderr)
        self.assertEqual(self.read("store/versions/v1.version"), before)
        self.assertEqual(os.path.getsize(self.store()), size)  # nothing was sent
        p = self.send("-q", "--store", "store", "--name", "v1", "--replace", "new")
        self.assertEqual(p.returncode, 0, p.stderr)
        # The new list under a name of its own; the old one is gone.
        names = sorted(os.listdir(self.catalogue()))
        self.assertIn("v1.r2.list", names)
        self.assertNotIn("v1.list", names)
        self.assertEqual(self.cat("store", "v1").stdout, self.read("new"))
        self.assertEqual(self.versions("check", "store").returncode, 0)
        # Usage errors: each refused before anything is sent.
        for args, why in ((["--name", "v4", "new"], b"--name needs --store DIR"),
                          (["--store", self.store(), "--name", "v4", "new"], b"--name needs"),
                          (["--store", "store", "--name", "v4", "-o", "x.list", "new"], b"-o"),
                          (["--store", "store", "--name", ".v4", "new"], b"not a version name"),
                          (["--store", "store", "--replace", "-o", "x.list", "new"],
                           b"--replace goes with --name"),
                          (["--store", "store", "--name", "v4", "--per-file", "new"],
                           b"--per-file cannot go with --name")):
            with self.subTest(args=args):
                p = self.send(*args)
                self.assertEqual(p.returncode, 1, p.stderr)
                self.assertIn(why, p.stderr)
        self.assertNotIn("v4.version", os.listdir(self.catalogue()))
        # Without --name a store folder gives the growth figures of its $dump.
        p = self.send("--store", "store", "-o", "again.list", "new")
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertIn(b"store grew by 0 bytes, 100.00% of the data was stored already", p.stderr)


class FiguresAsJson(VersionsTestCase):
    def test_each_tool_prints_one_object_with_the_figures_of_its_text(self):
        self.store_three()
        lists = ["store/versions/%s.list" % n for n in ("v1", "v2", "v3")]
        os.mkdir(self.path("kept"))
        # Each tool: its arguments, and a pattern its text output matches,
        # whose numbers the JSON object gives under the keys named.
        cases = [
            ("chunkinfo", ["--store", self.store()] + lists,
             r"total: (\d+) records, (\d+) bytes, highest ChunkOffset (\d+), (\d+) of length 0, all",
             lambda j: [j["total"][k] for k in ("records", "bytes", "highest_offset",
                                                "empty_records")] + [j["total"]["outside_store"]],
             [0]),
            ("chunkcheck", [self.store()],
             r"chunks: (\d+) \((\d+) bytes.*\npadding: (\d+) bytes",
             lambda j: [j[k] for k in ("chunks", "chunk_bytes", "padding_bytes")], []),
        ]
        for tool, args, pattern, figures, extra in cases:
            with self.subTest(tool=tool):
                text = run_program(tool, args, cwd=self.folder)
                self.assertEqual(text.returncode, 0, text.stderr)
                m = re.search(pattern, text.stdout.decode(), re.S)
                self.assertIsNotNone(m, text.stdout)
                p = run_program(tool, ["--json"] + args, cwd=self.folder)
                self.assertEqual(p.returncode, 0, p.stderr)
                self.assertEqual(p.stdout.count(b"\n"), 1, p.stdout)
                self.assertEqual(figures(json.loads(p.stdout)),
                                 [int(g) for g in m.groups()] + extra)
        p = run_program("chunkcopy", ["--json", "-q", self.store(), "new.dump", "-o", "kept"] + lists,
                        cwd=self.folder)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(p.stderr, b"")
        copy = json.loads(p.stdout)
        self.assertEqual((copy["lists"], copy["store_bytes_before"], copy["store_bytes_after"]),
                         (3, os.path.getsize(self.store()), os.path.getsize(self.path("new.dump"))))
        self.assertEqual(copy["records"], sum(len(self.read(n)) // 21 for n in lists))
