#!/usr/bin/env python3
"""Component installation sessions under Wine: the test host calls
Wise_DoInstall with a list of component blobs, and the tests look at the
components directory, its index, what the components' initialisation library
was called with, and the box shown when the components cannot be installed.

usage: component_session_test.py --runner wine-run.sh --host install_host.exe
           --dll Brackenfold.dll --fixture component_fixture.exe
           --recorder init_recorder.dll --work DIR
"""
import argparse
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wine_session import WineSession, windows_path  # noqa: E402

ARGS = None
DATA_DIR = r"C:\Vantorium\Data"
COMPONENTS = DATA_DIR + r"\components"
ERROR_TEXT = "Fatal error during install.  Could not install component files."
HEX8 = "[0-9A-F]{8}"


class ComponentSession(unittest.TestCase):
    def setUp(self):
        work = os.path.join(ARGS.work, self.id().split(".")[-1])
        self.session = WineSession(ARGS.runner, work)
        self.blobs = os.path.join(work, "blobs")
        os.makedirs(self.blobs, exist_ok=True)
        p = self.session.run(ARGS.fixture, windows_path(self.blobs),
                             windows_path(ARGS.recorder))
        self.assertEqual(p.returncode, 0, p.stderr)

    def tearDown(self):
        self.session.close()

    def install(self, *names, options=()):
        blob_list = ",".join(windows_path(os.path.join(self.blobs, n))
                             for n in names)
        return self.session.run_host(ARGS.host, ARGS.dll, DATA_DIR, blob_list,
                                     windows_path(ARGS.dll), "--timeout", "120",
                                     *options)

    def components(self):
        path = self.session.disk_path(COMPONENTS)
        return sorted(os.listdir(path)) if os.path.isdir(path) else []

    def read(self, name, mode="r"):
        with open(self.session.disk_path(COMPONENTS + "\\" + name), mode,
                  newline="" if mode == "r" else None) as f:
            return f.read()

    def assert_error_box(self, run):
        self.assertEqual(run.result, -1, run.describe())
        self.assertEqual(len(run.boxes), 1, run.describe())
        box = run.boxes[0]
        self.assertEqual((box.caption, box.text, box.flags, box.owner),
                         ("Error", ERROR_TEXT, 0, "none"))

    def install_core_and_viewer(self):
        run = self.install("core.blob", "viewer.blob")
        self.assertEqual(run.result, 0, run.describe())
        self.assertEqual(run.boxes, [], run.describe())
        index = self.read("compindx.dat")
        m = re.fullmatch(
            "component= CORE\n\tversion= 2\n"
            f"\tinstalled_local= core.dat;(core{HEX8}\\.dat)\ncomponentend\n"
            "component= VIEWER\n\tversion= 3\n"
            f"\tinstalled_local= Viewer.dll;(viewer{HEX8}\\.dll)\n"
            f"\tinstalled_local= bin.dat;(bin{HEX8}\\.dat)\ncomponentend\n",
            index)
        self.assertIsNotNone(m, repr(index))
        return m.group(1), m.group(2), m.group(3)

    def test_blobs_are_installed_indexed_and_initialised(self):
        core, viewer, bin_dat = self.install_core_and_viewer()
        self.assertEqual(self.read(core), "core data")
        self.assertEqual(self.read(bin_dat), "viewer data")
        with open(ARGS.recorder, "rb") as f:
            self.assertEqual(self.read(viewer, "rb"), f.read())
        # Descriptor files stay out of the store; the lock file is gone.
        self.assertEqual(self.components(),
                         sorted([core, viewer, bin_dat, "compindx.dat",
                                 viewer + ".calls"]))
        # The library got its own path, the count, and the files in
        # registered-name order (upper case first).
        self.assertEqual(self.read(viewer + ".calls"),
                         f"library={COMPONENTS}\\{viewer}\ncount=2\n"
                         f"Viewer.dll;{viewer}\nbin.dat;{bin_dat}\nend\n")

    def test_failure_in_the_third_blob_keeps_the_index(self):
        self.install_core_and_viewer()
        index = self.read("compindx.dat", "rb")
        before = self.components()
        run = self.install("core.blob", "viewer.blob", "broken.blob")
        self.assert_error_box(run)
        self.assertEqual(self.read("compindx.dat", "rb"), index)
        # The first two blobs' new files stay, unrecorded; no part of the
        # broken payload does; no library was called again.
        after = self.components()
        self.assertFalse([n for n in after if n.startswith("big")], after)
        self.assertEqual(len(after), len(before) + 3, after)
        calls = [n for n in after if n.endswith(".calls")]
        self.assertEqual(len(calls), 1, after)

    def test_unmet_prerequisite_installs_nothing(self):
        run = self.install("viewer.blob")
        self.assert_error_box(run)
        self.assertEqual(self.components(), [])

    def test_installed_copy_meets_a_prerequisite_and_a_reader_blocks_nothing(self):
        run = self.install("core.blob")
        self.assertEqual(run.result, 0, run.describe())
        # The host keeps the index open for reading, as the installed-
        # component search does without the lock (no delete sharing), for
        # the whole second installation: the index is still replaced.
        run = self.install("viewer.blob",
                           options=("--hold", COMPONENTS + r"\compindx.dat"))
        self.assertEqual(run.result, 0, run.describe())
        self.assertEqual(run.boxes, [], run.describe())
        self.assertRegex(self.read("compindx.dat"),
                         "^component= CORE\n(.*\n)*component= VIEWER\n")

    def test_empty_blob_list_is_an_error(self):
        # The host's empty list is one empty path, which cannot be opened.
        run = self.session.run_host(ARGS.host, ARGS.dll, DATA_DIR, "",
                                    windows_path(ARGS.dll), "--timeout", "120")
        self.assert_error_box(run)
        self.assertEqual(self.components(), [])


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ("--runner", "--host", "--dll", "--fixture", "--recorder",
                 "--work"):
        parser.add_argument(name, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v", *rest])


if __name__ == "__main__":
    main()
