#!/usr/bin/env python3
"""User-interface sessions under Wine: the running-browser warning and the
Netscape Plugins directory, as a user meets them. The test host shows its
window (and, where a test says so, windows that look like browsers), answers
the boxes from a script and types into the "Select Directory" dialog; the tests
then look at the boxes seen, the result, and the prefix's disk.

Every installation carries one small component (made once per run with
make_test_blob.exe), so a session that goes through ends with 0.

usage: ui_session_test.py --runner wine-run.sh --host install_host.exe
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
USER_KEY = r"HKCU\Software\Netscape\Netscape Navigator\Main"
MACHINE_KEY = r"HKLM\Software\Netscape\Netscape Navigator"
VALUE = "Install Directory"

OPENING = ("It appears that the following web browers are currently running "
           "on your system:\n\n")
NETSCAPE_LINE = "    + Netscape Navigator or Netscape Communicator\n"
EXPLORER_LINE = "    + Internet Explorer\n"
CLOSING = ("\nIt is strongly recommended that you quit all other software "
           "running on this system before continuing installation. It is "
           "especially important to quit all web browsers to ensure proper "
           "integration. After quitting all web browsers, hit OK to continue.")
SECOND = ("It still appears that one or more web browsers is running. It is "
          "possible that some other program is being misidentified as a web "
          "browser, and that it is safe to continue. Confirm that all web "
          "browsers have been closed before continuing.")
CONFIRM = ("If you cancel, the Vantorium plug-in will not be installed and you "
           "will not be able to view Vantorium applets. Are you sure you wish "
           "to cancel?")
INVALID = "The directory specified is not valid."
NOT_A_DIRECTORY = ("The specified path is not a directory. Perhaps it is a "
                   "file of some sort. You need to specify a directory.")
MISSING = ("The specified directory does not exist. You must specify a "
           "directory which already exists.")

IE_WINDOW = "IEFrame|Microsoft Internet Explorer"
NETSCAPE_WINDOW = "MozillaWindowClass|Welcome - Netscape"
WARNING_FLAGS = 0x31   # MB_OKCANCEL | MB_ICONEXCLAMATION
CONFIRM_FLAGS = 0x24   # MB_YESNO | MB_ICONQUESTION


class UiSession(unittest.TestCase):
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

    def install(self, data_dir, *options):
        return self.session.run_host(ARGS.host, ARGS.dll, data_dir,
                                     windows_path(self.blob), self.library,
                                     "--timeout", "120", *options)

    def reg_add(self, key, value_type, data):
        p = self.session.reg("add", key, "/v", VALUE, "/t", value_type,
                             "/d", data, "/f")
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)

    def make_dir(self, windows_dir):
        os.makedirs(self.session.disk_path(windows_dir), exist_ok=True)

    def assert_plugin_in(self, windows_dir):
        copy = self.session.disk_path(windows_dir + "\\NPAXVnt.dll")
        self.assertTrue(os.path.isfile(copy), copy)
        self.assertTrue(filecmp.cmp(copy, ARGS.dll, shallow=False))

    def captions(self, run):
        return [b.caption for b in run.boxes]

    # --- Running browsers.

    def test_explorer_still_running_after_ok_gets_one_second_warning(self):
        run = self.install(r"C:\Vantorium\Ie", "--extra", IE_WINDOW,
                           "--answers", "Warning=OK;Warning=OK")
        self.assertEqual(run.result, 0, run.describe())
        self.assertEqual(self.captions(run), ["Warning", "Warning"], run.describe())
        first, second = run.boxes
        self.assertEqual(first.text, OPENING + EXPLORER_LINE + CLOSING)
        self.assertEqual(second.text, SECOND)
        for box in run.boxes:
            self.assertEqual(box.flags, WARNING_FLAGS)
            self.assertEqual(box.owner, "host")
        self.assert_plugin_in(r"C:\Vantorium\Ie")

    def test_cancel_then_no_shows_the_same_warning_again(self):
        run = self.install(r"C:\Vantorium\Both", "--extra", IE_WINDOW,
                           "--extra", NETSCAPE_WINDOW, "--answers",
                           "Warning=Cancel;Are you sure?=No;Warning=OK;Warning=OK")
        self.assertEqual(run.result, 0, run.describe())
        self.assertEqual(self.captions(run),
                         ["Warning", "Are you sure?", "Warning", "Warning"],
                         run.describe())
        listed = OPENING + NETSCAPE_LINE + EXPLORER_LINE + CLOSING
        self.assertEqual(run.boxes[0].text, listed)
        self.assertEqual(run.boxes[2].text, listed)
        self.assertEqual(run.boxes[3].text, SECOND)
        question = run.boxes[1]
        self.assertEqual((question.text, question.flags, question.owner),
                         (CONFIRM, CONFIRM_FLAGS, "host"))

    def test_cancel_then_yes_ends_the_call_with_minus_one(self):
        data_dir = r"C:\Vantorium\Cancelled"
        run = self.install(data_dir, "--extra", NETSCAPE_WINDOW,
                           "--answers", "Warning=Cancel;Are you sure?=Yes")
        self.assertEqual(run.result, -1, run.describe())
        self.assertEqual(self.captions(run), ["Warning", "Are you sure?"])
        self.assertEqual(run.boxes[0].text, OPENING + NETSCAPE_LINE + CLOSING)
        # Recorded before the question; nothing copied after it.
        self.assertEqual(self.session.reg_value(PLAYER_KEY, "SystemDataPath"),
                         data_dir)
        self.assertFalse(os.path.exists(
            self.session.disk_path(data_dir + r"\NPAXVnt.dll")))

    # --- Netscape's Plugins directory.

    def test_highest_version_is_offered_and_receives_the_plugin(self):
        self.reg_add(USER_KEY, "REG_SZ", r"C:\Netscape\User")
        self.reg_add(MACHINE_KEY + r"\4.5\Main", "REG_SZ", r"C:\Netscape\Old")
        self.reg_add(MACHINE_KEY + r"\4.7 (en)\Main", "REG_SZ",
                     "C:\\Netscape\\Communicator\\")
        self.reg_add(MACHINE_KEY + r"\Users\Main", "REG_SZ", r"C:\Netscape\Users")
        plugins = r"C:\Netscape\Communicator\Program\Plugins"
        self.make_dir(plugins)
        with open(self.session.disk_path(plugins + r"\NPAXVnt.dll"), "w") as f:
            f.write("an older plug-in")
        run = self.install(r"C:\Vantorium\Ns")
        self.assertEqual(run.result, 0, run.describe())
        self.assertEqual(run.boxes, [], run.describe())
        self.assertEqual(len(run.dialogs), 1, run.describe())
        dialog = run.dialogs[0]
        self.assertEqual((dialog.caption, dialog.owner, dialog.action),
                         ("Select Directory", "host", "ok " + plugins))
        self.assert_plugin_in(plugins)
        self.assert_plugin_in(r"C:\Vantorium\Ns")

    def test_dword_value_counts_as_missing(self):
        self.reg_add(USER_KEY, "REG_DWORD", "7")
        self.reg_add(MACHINE_KEY + r"\4.7\Main", "REG_DWORD", "7")
        run = self.install(r"C:\Vantorium\Dword")
        self.assertEqual(run.result, 0, run.describe())
        self.assertEqual(run.dialogs, [], run.describe())
        self.assertEqual(run.boxes, [], run.describe())

    def test_typed_directory_receives_the_plugin(self):
        self.reg_add(USER_KEY, "REG_SZ", r"C:\Netscape\User")
        chosen = r"C:\Browsers\My Plugins"
        self.make_dir(chosen)
        run = self.install(r"C:\Vantorium\Typed", "--dir", chosen + "\\\\")
        self.assertEqual(run.result, 0, run.describe())
        self.assertEqual(run.boxes, [], run.describe())
        self.assert_plugin_in(chosen)
        self.assertFalse(os.path.exists(self.session.disk_path(
            r"C:\Netscape\User\Program\Plugins")))

    def test_rejected_paths_keep_the_dialog_open_until_cancel_and_yes(self):
        self.reg_add(USER_KEY, "REG_SZ", r"C:\Netscape\User")
        data_dir = r"C:\Vantorium\Rejected"
        run = self.install(data_dir, "--dir", r"\Temp", "--dir", r"C:\a:b",
                           "--dir", r"C:\windows\win.ini", "--dir",
                           r"C:\Not\There", "--dir", "cancel",
                           "--answers", "Are you sure?=Yes")
        self.assertEqual(run.result, -1, run.describe())
        seen = [(b.caption, b.text, b.flags, b.owner) for b in run.boxes]
        self.assertEqual(seen, [
            ("Unable to create directory.", INVALID, 0, "other"),
            ("Unable to create directory.", INVALID, 0, "other"),
            ("Not a directory", NOT_A_DIRECTORY, 0, "other"),
            ("Invalid Directory", MISSING, 0, "other"),
            ("Are you sure?", CONFIRM, CONFIRM_FLAGS, "none"),
        ], run.describe())
        # One dialog throughout, driven five times.
        self.assertEqual([d.action.split(" ")[0] for d in run.dialogs],
                         ["ok", "ok", "ok", "ok", "cancel"], run.describe())
        self.assertFalse(os.path.exists(self.session.disk_path(r"C:\Not")))
        self.assertFalse(os.path.exists(
            self.session.disk_path(data_dir + r"\NPAXVnt.dll")))

    def test_cancel_then_no_opens_the_dialog_again(self):
        self.reg_add(USER_KEY, "REG_SZ", r"C:\Netscape\User")
        plugins = r"C:\Netscape\User\Program\Plugins"
        self.make_dir(plugins)
        run = self.install(r"C:\Vantorium\Again", "--dir", "cancel",
                           "--dir", "ok", "--answers", "Are you sure?=No")
        self.assertEqual(run.result, 0, run.describe())
        self.assertEqual(self.captions(run), ["Are you sure?"])
        self.assertEqual(run.boxes[0].owner, "none")
        self.assertEqual([d.action for d in run.dialogs],
                         ["cancel", "ok " + plugins], run.describe())
        self.assert_plugin_in(plugins)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ("--runner", "--host", "--dll", "--work", "--make-blob"):
        parser.add_argument(name, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v", *rest])


if __name__ == "__main__":
    main()
