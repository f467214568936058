#!/usr/bin/env python3
"""Installation sessions under Wine: the test host loads Brackenfold.dll, shows
its main window (or not), calls Wise_DoInstall, and answers what appears; the
tests then look at the prefix's disk and registry.

Sessions that should succeed install one small component, made once per run
with make_test_blob.exe.

usage: install_session_test.py --runner wine-run.sh --host install_host.exe
                               --dll Brackenfold.dll --work DIR
                               --make-blob make_test_blob.exe
"""
import argparse
import filecmp
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wine_session import WineSession, windows_path  # noqa: E402

ARGS = None
PLAYER_KEY = r"HKLM\SOFTWARE\Vantorium\Vantorium Player"
IE_KEY = r"HKLM\SOFTWARE\Microsoft\Internet Explorer\Plugins"
CONTENT_TYPE = "application/x-Vantorium-3D-Applet"
PLUGIN_TITLE = "Vantorium, Inc.'s Vantorium3D"
IE_WINDOW = "IEFrame|Microsoft Internet Explorer"


class InstallSession(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        blobs = os.path.join(ARGS.work, "blobs")
        session = WineSession(ARGS.runner, blobs)
        try:
            cls.blob = os.path.join(blobs, "viewer.blob")
            p = session.run(ARGS.make_blob, windows_path(cls.blob), "viewer",
                            "3", "viewer.dat=viewer data")
            if p.returncode != 0 or not os.path.isfile(cls.blob):
                raise RuntimeError(f"make_test_blob failed: {p.stdout}{p.stderr}")
        finally:
            session.close()

    def setUp(self):
        self.session = WineSession(ARGS.runner,
                                   os.path.join(ARGS.work, self.id().split(".")[-1]))
        self.library = windows_path(ARGS.dll)  # any file will do as the plug-in

    def tearDown(self):
        self.session.close()

    def install(self, data_dir, *options, blob_list=None):
        if blob_list is None:
            blob_list = windows_path(self.blob)
        return self.session.run_host(ARGS.host, ARGS.dll, data_dir, blob_list,
                                     self.library, *options)

    def index_text(self, data_dir):
        path = self.session.disk_path(data_dir + r"\components\compindx.dat")
        with open(path, "rb") as f:
            return f.read().decode("latin-1")

    def test_plain_install_records_and_fills_the_data_directory(self):
        # The host shows its window at once; nothing asks the user anything.
        data_dir = r"C:\Program Files\Vantorium\Player Data"
        run = self.install(data_dir, "--timeout", "120")
        self.assertEqual(run.result, 0, run.describe())
        self.assertEqual(run.boxes, [], run.describe())

        # The data directory, missing with its parents, was made; the plug-in
        # library is in it as NPAXVnt.dll, byte for byte; components is there.
        plugin = self.session.disk_path(data_dir + r"\NPAXVnt.dll")
        self.assertTrue(filecmp.cmp(plugin, ARGS.dll, shallow=False))
        self.assertIn("VIEWER", self.index_text(data_dir))

        # Internet Explorer's seven values name the copy in the data
        # directory.
        extension = {"Location": ("REG_SZ", data_dir + r"\NPAXVnt.dll"),
                     "Content Type": ("REG_SZ", CONTENT_TYPE),
                     "": ("REG_SZ", PLUGIN_TITLE)}
        with_values = {key: values for key, values
                       in self.session.reg_tree(IE_KEY).items() if values}
        self.assertEqual(with_values, {
            r"\Extension\.vtvm": extension, r"\Extension\.kfvm": extension,
            r"\MIME\application/x-Vantorium-3D-Applet":
                {"Extension": ("REG_SZ", ".vtvm")}})
        self.assertEqual(self.session.reg_value(PLAYER_KEY, "SystemDataPath"), data_dir)

        # A 32-bit installer's HKLM\SOFTWARE keys land in the 32-bit view:
        # under WOW6432Node, and not in the 64-bit SOFTWARE itself.
        keys = self.session.machine_keys_on_disk()
        for key in (r"vantorium\vantorium player",
                    r"microsoft\internet explorer\plugins\extension\.vtvm",
                    r"microsoft\internet explorer\plugins\extension\.kfvm",
                    r"microsoft\internet explorer\plugins\mime"
                    r"\application/x-vantorium-3d-applet"):
            self.assertIn("software\\wow6432node\\" + key, keys)
            self.assertNotIn("software\\" + key, keys)

    def test_failed_components_show_one_error_and_keep_the_rest(self):
        # The blob list names a file that is not there: the user sees one
        # "Error" box without owner; what came before stays on disk.
        data_dir = r"C:\Vantorium\Failed"
        run = self.install(data_dir, "--timeout", "120",
                           blob_list=r"C:\nowhere\missing.blob")
        self.assertEqual(run.result, -1, run.describe())
        self.assertEqual([(b.caption, b.text, b.flags, b.owner) for b in run.boxes],
                         [("Error", "Fatal error during install.  Could not "
                           "install component files.", 0, "none")])
        self.assertTrue(os.path.isfile(self.session.disk_path(data_dir + r"\NPAXVnt.dll")))
        self.assertEqual(self.session.reg_value(PLAYER_KEY, "SystemDataPath"), data_dir)

    def test_data_directory_is_recorded_exactly_as_passed(self):
        # A trailing backslash and mixed case stay as the host wrote them.
        data_dir = "c:\\Vantorium\\DATA\\"
        run = self.install(data_dir, "--timeout", "120")
        self.assertEqual(run.result, 0, run.describe())
        self.assertEqual(self.session.reg_value(PLAYER_KEY, "SystemDataPath"), data_dir)
        self.assertTrue(os.path.isfile(self.session.disk_path(r"C:\Vantorium\DATA\NPAXVnt.dll")))

    def test_host_window_that_appears_late_is_still_found(self):
        # The host is slow: its main window comes two seconds after the call.
        run = self.install(r"C:\Vantorium\Late", "--delay", "2000",
                           "--timeout", "120")
        self.assertEqual(run.windows, [("GLBSInstall", "Vantorium 3D Player")])
        self.assertEqual(run.result, 0, run.describe())
        self.assertIn("VIEWER", self.index_text(r"C:\Vantorium\Late"))

    def test_host_window_is_found_among_look_alikes(self):
        # Windows that match in title only or class only come first in the
        # window order; the browser warning (Internet Explorer is running)
        # shows which window was taken: the host's owns it.
        run = self.install(r"C:\Vantorium\Among",
                           "--extra", "NotTheHost|Vantorium 3D Player",
                           "--extra", "GLBSInstall|Vantorium 3D Player Setup",
                           "--extra", IE_WINDOW,
                           "--answers", "Warning=OK;Warning=OK",
                           "--timeout", "120")
        self.assertEqual(run.result, 0, run.describe())
        self.assertEqual([(b.caption, b.owner) for b in run.boxes],
                         [("Warning", "host")] * 2, run.describe())

    def test_look_alike_windows_keep_the_call_waiting(self):
        # Right title with another class; right class with the title in
        # other letter case: neither is the host, so the call never gets past
        # the wait, and nothing is created or recorded.
        run = self.install(r"C:\Vantorium\Never", "--class", "GLBSInstall2",
                           "--extra", "GLBSInstall|vantorium 3d player",
                           "--timeout", "6")
        self.assertIsNone(run.result, run.describe())
        self.assertIn("timeout", run.no_result or "", run.describe())
        self.assertEqual(run.returncode, 3)
        self.assertFalse(os.path.exists(self.session.disk_path(r"C:\Vantorium\Never")))
        self.assertIsNone(self.session.reg_value(PLAYER_KEY, "SystemDataPath"))


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ("--runner", "--host", "--dll", "--work", "--make-blob"):
        parser.add_argument(name, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v", *rest])


if __name__ == "__main__":
    main()
