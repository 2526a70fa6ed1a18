"""Runs the end-to-end tests one case at a time for CTest, so that a case that
is skipped shows as skipped there, never as passed.

    ctest_case.py --list test_x.py [...]   prints "test_x.Class.test_name" for
                                           every case, without importing
    ctest_case.py test_x.py Class.test_name
                                           runs one case; exits 0 when it
                                           passed, 1 when it failed, and
                                           SKIPPED (77) when it was skipped

Listing reads the files' syntax only: importing a test module sets up its
namespaces (see harness.py), which listing must not do.
"""
import ast
import importlib.util
import os
import sys
import unittest

SKIPPED = 77


def cases(path):
    """The test cases of one file: classes with test_ methods, their own and
    those of base classes defined in the same file."""
    tree = ast.parse(open(path).read(), path)
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}

    def methods(name, seen=()):
        node = classes.get(name)
        if node is None or name in seen:
            return []
        own = [f.name for f in node.body
               if isinstance(f, ast.FunctionDef) and f.name.startswith("test")]
        inherited = []
        for b in node.bases:
            if isinstance(b, ast.Name):
                inherited += methods(b.id, seen + (name,))
        return inherited + [m for m in own if m not in inherited]

    out = []
    for name in classes:
        for m in methods(name):
            out.append("%s.%s" % (name, m))
    return out


def run(path, case):
    sys.path.insert(0, os.path.dirname(os.path.abspath(path)))
    name = os.path.splitext(os.path.basename(path))[0]
    found = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(found)
    sys.modules[name] = module
    found.loader.exec_module(module)
    suite = unittest.defaultTestLoader.loadTestsFromName(case, module)
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stderr).run(suite)
    if not result.wasSuccessful() or result.testsRun == 0:
        return 1
    if len(result.skipped) == result.testsRun:
        for _, reason in result.skipped:
            print("SKIPPED: %s" % reason)
        return SKIPPED
    return 0


def main(argv):
    if len(argv) >= 2 and argv[0] == "--list":
        for path in argv[1:]:
            base = os.path.splitext(os.path.basename(path))[0]
            for c in cases(path):
                print("%s.%s" % (base, c))
        return 0
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    return run(argv[0], argv[1])


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
