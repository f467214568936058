#!/usr/bin/env python3
"""Wine session: fatal error reports and directory path creation.

install_host loads fatal_probe.dll in place of the installer and calls its
Wise_DoInstall, which raises a fatal report or creates a directory path; the
host answers the boxes and the Save-As dialog as a user would. The session
then looks at the exit status, the boxes shown and the files on the prefix's
drive C.
"""
import argparse
import os
import re
import sys

from wine_session import WineSession

INTRO = ("An unexpected error has occurred. Installation is unable to "
         "continue. Details on the error follow.\n\n")
QUESTION = ("\n\nAdditional information on this error can be written to a "
            "file of your chosing. This file will be helpful if you report "
            "this issue to Vantorium. Would you like to create this file?")
CAPTION = "Vantorium Installer Error"
DETAILS_FILE = "vantorium_installer_error.txt"
# MB_YESNO | MB_ICONHAND | MB_DEFBUTTON2: Yes and No, the stop icon, and the
# second button (No) as the default.
YES_NO_STOP_NO_BY_DEFAULT = "0x114"
# OPENFILENAME_SIZE_VERSION_400A on i686: the Save-As structure without the
# Windows 2000 fields.
SAVE_AS_STRUCT_SIZE = 76

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL: " + what)


class Session:
    """A WineSession whose host loads fatal_probe.dll."""

    def __init__(self, args):
        self.wine = WineSession(args.runner, args.work)
        self.host = args.host
        self.probe = args.probe

    def run(self, mode, text, answers="", save_as=None):
        options = ["--timeout", "120"]
        if answers:
            options += ["--answers", answers]
        if save_as is not None:
            options += ["--save-as", save_as]
        run = self.wine.run_host(self.host, self.probe, mode, text, "unused",
                                 *options)
        print("$ %s %r -> %d" % (mode, text, run.returncode))
        print(run.stdout, end="")
        lines = run.stdout.splitlines()
        boxes = [[b.caption, b.text, "?" if b.flags is None else
                  "0x%x" % b.flags, b.owner, b.answer] for b in run.boxes]
        dialogs = [[d.caption, d.owner, d.action] for d in run.dialogs]
        return run.returncode, lines, boxes, dialogs

    def c(self, *parts):
        return self.wine.disk_path("C:\\" + "\\".join(parts))


def report_message(box_text):
    """The caller's message inside the first box's text."""
    if not (box_text.startswith(INTRO) and box_text.endswith(QUESTION)):
        return None
    return box_text[len(INTRO):-len(QUESTION)]


def test_answer_no(s):
    status, lines, boxes, dialogs = s.run(
        "fatal", "Probe failure one.", answers=CAPTION + "=No")
    check(status == 1, "answered No: exit status 1 (got %d)" % status)
    check(len(boxes) == 1, "answered No: one box")
    if boxes:
        caption, text, flags, owner, answer = boxes[0][:5]
        check(caption == CAPTION, "answered No: caption")
        check(report_message(text) == "Probe failure one.",
              "answered No: box text")
        check(flags == YES_NO_STOP_NO_BY_DEFAULT, "answered No: flags " + flags)
        check(owner == "none", "answered No: box without owner")
    check(not dialogs, "answered No: no Save-As dialog")
    check(not os.path.exists(s.c(DETAILS_FILE)), "answered No: no file")
    check("EXIT-HANDLER" in lines, "answered No: exit handlers ran")
    check(not any(l.startswith("RESULT") for l in lines),
          "answered No: Wise_DoInstall did not return")


def test_answer_yes_and_save_over_old_file(s):
    with open(s.c(DETAILS_FILE), "wb") as f:
        f.write(b"stale details\r\n" * 500)
    status, lines, boxes, dialogs = s.run(
        "fatal", "Probe failure two.",
        answers=CAPTION + "=Yes;Save Error Details As=Yes",
        save_as="c:\\" + DETAILS_FILE)
    check(status == 1, "saved: exit status 1 (got %d)" % status)
    check(len(dialogs) == 1 and dialogs[0][0] == "Save Error Details As",
          "saved: one Save-As dialog")
    check("SAVEFILE %d" % SAVE_AS_STRUCT_SIZE in lines,
          "saved: the dialog's structure is %d bytes" % SAVE_AS_STRUCT_SIZE)
    check(len(boxes) == 2 and boxes[1][0] == "Save Error Details As"
          and boxes[1][4] == "Yes",
          "saved: the dialog asked before replacing the old file")
    check("EXIT-HANDLER" in lines, "saved: exit handlers ran")
    with open(s.c(DETAILS_FILE), "rb") as f:
        data = f.read()
    check(b"stale" not in data, "saved: old file replaced, not appended to")
    check(b"\n" in data and re.search(b"(?<!\r)\n", data) is None,
          "saved: every line ends in CR LF")
    text = data.decode("latin-1").replace("\r\n", "\n")
    check(text.startswith(INTRO + "Probe failure two." + QUESTION +
                          "\n\nAdditional information:\n\n"
                          "File name: tests/wine/fatal_probe.cc\n"
                          "Line Number: "),
          "saved: begins with the introduction and the details")
    check(re.search(r"\nLine Number: [1-9][0-9]*\nBuild Date: "
                    r"[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}\nBuild Time: "
                    r"[0-9]{2}:[0-9]{2}:[0-9]{2}\Z", text) is not None,
          "saved: ends with the build date and time")


def test_answer_yes_and_cancel(s):
    status, lines, boxes, dialogs = s.run(
        "fatal", "Probe failure three.", answers=CAPTION + "=Yes",
        save_as="cancel")
    check(status == 1, "cancelled: exit status 1 (got %d)" % status)
    check(len(dialogs) == 1 and dialogs[0][2] == "cancel",
          "cancelled: the Save-As dialog was cancelled")
    check(len(boxes) == 2, "cancelled: the fallback box followed")
    if len(boxes) == 2:
        caption, text, flags, owner = boxes[1][:4]
        head = "Unable to save error details to file.\n\n\n"
        check(caption == CAPTION and flags == "0x10" and owner == "none",
              "cancelled: fallback caption, flags, owner")
        check(text.startswith(head + INTRO + "Probe failure three." +
                              QUESTION + "\n\nAdditional information:\n\n"),
              "cancelled: fallback box holds the whole report")
        check(re.search(r"\nBuild Time: [0-9]{2}:[0-9]{2}:[0-9]{2}\Z", text)
              is not None, "cancelled: fallback ends with the build time")


def test_system_error(s):
    status, lines, boxes, dialogs = s.run(
        "system", "Copy failed", answers=CAPTION + "=No")
    check(status == 1, "system error: exit status 1")
    message = report_message(boxes[0][1]) if boxes else None
    heading = "Copy failed\n\nWindows reports the following:\n"
    check(message is not None and message.startswith(heading)
          and len(message) > len(heading),
          "system error: the system's text for code 5 follows the heading")


def test_directory_path_created(s):
    status, lines, boxes, dialogs = s.run("dirpath", "C:/DirTest//A//B")
    check(status == 0 and "RESULT 0" in lines, "C:/DirTest//A//B: returned")
    check(not boxes, "C:/DirTest//A//B: nothing shown")
    check(os.path.isdir(s.c("DirTest", "A", "B")),
          "C:/DirTest//A//B: C:\\DirTest\\A\\B exists")
    status, lines, boxes, dialogs = s.run("dirpath", "C:\\DirTest\\A\\B\\")
    check(status == 0 and not boxes, "existing path: nothing done or shown")


def test_directory_path_refused(s):
    with open(s.c("PlainFile"), "wb") as f:
        f.write(b"x")
    cases = [
        ("", "Unable to create directory '' because the path is invalid."),
        ("\\\\SERVER",
         "Unable to create directory '\\\\SERVER' because the path is "
         "invalid."),
        ("C:\\PlainFile\\Sub",
         "Unable to create directory 'C:\\PlainFile' because a file with "
         "that name already exists."),
    ]
    for path, expected in cases:
        status, lines, boxes, dialogs = s.run(
            "dirpath", path, answers=CAPTION + "=No")
        check(status == 1, "%r: exit status 1 (got %d)" % (path, status))
        check(len(boxes) == 1 and report_message(boxes[0][1]) == expected,
              "%r: report says %r" % (path, expected))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--runner", required=True)
    parser.add_argument("--host", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--work", required=True)
    s = Session(parser.parse_args())
    test_answer_no(s)
    test_answer_yes_and_save_over_old_file(s)
    test_answer_yes_and_cancel(s)
    test_system_error(s)
    test_directory_path_created(s)
    test_directory_path_refused(s)
    if failures:
        print("%d check(s) failed; prefix kept in %s" %
              (len(failures), s.wine.prefix))
        return 1
    s.wine.close()
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
