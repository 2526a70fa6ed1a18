"""README against the programs: each program's exit statuses are written once,
in its usage text (what --help prints); README's tables must say the same,
and the sources' header comments must not keep a copy of their own. The
user guide's transcript is run command by command and must print what it
shows, numbers that depend on the machine (speeds, times) aside.
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from harness import (BIN_DIR, EXE_SUFFIX, PORT, PRIVATE_NETWORK, RUNNER, START_TIMEOUT,
                     run_program, wait_port_free)

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
README = os.path.join(SOURCE_DIR, "README.md")

# Where each program's main lives: its header comment is checked.
PROGRAM_SOURCES = {
    "chunkstore": "server/main.cpp",
    "chunkpack": "pack/main.cpp",
    "chunkstop": "stop/main.cpp",
    "chunksend": "tools/chunksend.cpp",
    "chunkcat": "tools/chunkcat.cpp",
    "chunkinfo": "tools/chunkinfo.cpp",
    "chunkcheck": "tools/chunkcheck.cpp",
    "chunkunpack": "tools/chunkunpack.cpp",
}


def readme():
    with open(README, encoding="utf-8") as f:
        return f.read()


def plain(text):
    """Text as compared: no Markdown quoting, one blank between words, and
    "130/143" written as README writes it, "130, 143"."""
    text = text.replace("`", "").replace('"', "").replace("\\|", "|")
    text = re.sub(r"\b(\d+)/(\d+)\b", r"\1, \2", text)
    return " ".join(text.split())


# "0 done; 1 usage, ...; 130, 143 interrupted (...)": a status (or two) at
# the start or after "; ", then its meaning up to the next one.
_STATUS = re.compile(r"(?:^|; )(\d+(?:, \d+)?) (?=\D)")


def split_statuses(text):
    """{status: meaning} of a list "N meaning; N meaning; ...". The last
    meaning ends with its sentence: what follows is not about a status."""
    text = plain(text)
    always = re.match(r"always (\d+)", text)
    if always:
        return {always.group(1): "always %s" % always.group(1)}
    marks = list(_STATUS.finditer(text))
    out = {}
    for i, m in enumerate(marks):
        end = marks[i + 1].start() if i + 1 < len(marks) else len(text)
        meaning = text[m.end():end]
        if i + 1 == len(marks):
            meaning = re.split(r"\.( |$)", meaning)[0]
        out[m.group(1)] = meaning.rstrip(".")
    return out


def help_statuses(name):
    r = run_program(name, ["--help"], cwd=tempfile.gettempdir())
    text = r.stdout.replace(b"\r\n", b"\n").decode()
    m = re.search(r"^exit status(?:es)?: (.*)", text, re.M | re.S)
    if not m:
        raise AssertionError("%s --help names no exit statuses:\n%s" % (name, text))
    return split_statuses(m.group(1))


def readme_statuses(name):
    """README's statuses of one program: the "Exit statuses" cell of the
    table of programs, or, where that says "see below", the Status table
    after the program's paragraph in the reference."""
    text = readme()
    row = re.search(r"^\| `%s` \| .* \| (.*) \|$" % name, text, re.M)
    if row is None:
        raise AssertionError("README's table of programs has no row for %s" % name)
    if row.group(1) != "see below":
        return split_statuses(row.group(1))
    at = text.find("\n**%s**" % name)
    if at < 0:
        raise AssertionError("README has no paragraph **%s**" % name)
    table = text.find("\n| Status | Meaning |", at)
    out = {}
    for line in text[table:].split("\n")[3:]:
        cells = re.match(r"^\| ([\d, ]+) \| (.*) \|$", line)
        if not cells:
            break
        out[plain(cells.group(1))] = plain(cells.group(2))
    return out


def header_comment(path):
    lines = []
    with open(os.path.join(SOURCE_DIR, path), encoding="utf-8") as f:
        for line in f:
            if not line.startswith("//"):
                break
            lines.append(line[2:].strip())
    return " ".join(" ".join(lines).split())


class StatusesAreWrittenOnce(unittest.TestCase):
    def test_readme_gives_every_status_in_the_words_of_the_usage_text(self):
        for name in PROGRAM_SOURCES:
            with self.subTest(program=name):
                usage = help_statuses(name)
                documented = readme_statuses(name)
                self.assertTrue(usage, name)
                self.assertEqual(sorted(documented), sorted(usage),
                                 "%s: README and --help list different statuses" % name)
                for status, meaning in usage.items():
                    self.assertIn(meaning, documented[status],
                                  "%s status %s: README does not say what --help says"
                                  % (name, status))

    def test_source_header_comments_leave_usage_and_statuses_to_the_usage_text(self):
        for name, path in PROGRAM_SOURCES.items():
            with self.subTest(program=name):
                r = run_program(name, ["--help"], cwd=tempfile.gettempdir())
                synopsis = re.findall(r"^(?:usage: |       )(%s\b.*)$" % name,
                                      r.stdout.decode(), re.M)
                self.assertTrue(synopsis, name)
                comment = header_comment(path)
                self.assertIn("kUsage", comment, "%s should point at its usage text" % path)
                # No list of statuses of its own ("Exit statuses:" and the
                # like), none of the usage text's wordings, no synopsis.
                self.assertNotRegex(comment, r"(?i)exit status(es)?:|\bstatus(es)? \d")
                for meaning in help_statuses(name).values():
                    if len(meaning.split()) >= 3:
                        self.assertNotIn(meaning, plain(comment))
                for line in synopsis:
                    if line.strip() != name:
                        self.assertNotIn(" ".join(line.split()), comment)


if __name__ == "__main__":
    unittest.main()
