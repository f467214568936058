#!/usr/bin/env python3
"""One user story under Wine, in a fresh prefix: the test host calls the
plug-in's Wise_DoInstall and answers what appears; the story checks what the
host saw and the prefix's disk and registry. Arguments: see main()."""
import argparse
import filecmp
import os
import re
import shutil
import sys

from wine_session import WineSession, windows_path

failures = []


def check(condition, what, run=""):
    if not condition:
        failures.append(what)
        print(f"FAIL: {what}\n{run}")


def blobs(a, s):
    made = s.run(a.fixture, windows_path(a.work), windows_path(a.recorder))
    check(made.returncode == 0, "component_fixture wrote the blobs")
    return lambda name: windows_path(os.path.join(a.work, name))


def read(s, path):
    with open(s.disk_path(path), "rb") as f:
        return f.read()


def install(a, s):
    blob = blobs(a, s)
    data = r"C:\Program Files\Vantorium\Player Data"  # missing, as its parent
    components = data + r"\components"
    run = s.host(a.host, a.dll, data, blob("core.blob"), windows_path(a.dll))
    check(run.result == 0 and not run.boxes, "CORE installed silently", run)
    # VIEWER needs CORE, from the store the registry now names; the index is
    # replaced though held open for reading without delete sharing. The plug-in
    # library given is its own copy, in other letter case: it keeps its bytes.
    index = components + r"\compindx.dat"
    run = s.host(a.host, a.dll, data, blob("viewer.blob"),
                 data + r"\npaxvnt.DLL", "--hold", index)
    check(run.result == 0 and not run.boxes, "VIEWER installed silently", run)
    text = read(s, index)
    check(b"\r" not in text and re.findall(rb"component= (\w+)\n", text) ==
          [b"CORE", b"VIEWER"], "the held index is replaced, in bare line feeds")
    # Payloads, index and the stored library's record of its call; nothing else
    # but the empty file Wine's ReplaceFileA moved the held index aside into.
    names = [n for n in os.listdir(s.disk_path(components))
             if not re.fullmatch(r"rf.*\.tmp", n)]
    check(len(names) == 5 and [n for n in names if n.endswith(".dll.calls")],
          f"stored and called, nothing else left: {names}")
    check(filecmp.cmp(s.disk_path(data + r"\NPAXVnt.dll"), a.dll, shallow=False),
          "the plug-in library is copied as NPAXVnt.dll")

    # A 32-bit installer's HKLM\SOFTWARE is the WOW6432Node view.
    keys = s.machine_values()
    for key, name, value in ((r"vantorium\vantorium player", "SystemDataPath", data),
                             (r"microsoft\internet explorer\plugins\extension\.vtvm",
                              "Location", data + r"\NPAXVnt.dll")):
        check(keys.get("software\\wow6432node\\" + key, {}).get(name) == value, key)
        check("software\\" + key not in keys, key + " not in the 64-bit view")


def ui(a, s):
    blob = blobs(a, s)
    # Navigator 4.5 and 4.7 in the 32-bit view; 4.7's Plugins has an old copy.
    reg = os.path.join(a.work, "netscape.reg")
    with open(reg, "w") as f:
        f.write("Windows Registry Editor Version 5.00\n")
        for version, path in (("4.5", "Old"), ("4.7 (en)", r"Communicator\\")):
            f.write(r"[HKEY_LOCAL_MACHINE\Software\Wow6432Node\Netscape\Netscape "
                    f'Navigator\\{version}\\Main]\n"Install Directory"='
                    f'"C:\\\\Netscape\\\\{path}"\n')
    s.run("reg", "import", windows_path(reg))
    plugins = r"C:\Netscape\Communicator\Program\Plugins"
    os.makedirs(s.disk_path(plugins))
    with open(s.disk_path(plugins + r"\NPAXVnt.dll"), "w") as f:
        f.write("an older plug-in")
    # Both browsers stay open through both warnings; the user takes the offer.
    run = s.host(a.host, a.dll, r"C:\Vantorium\Data", blob("core.blob"),
                 windows_path(a.dll),
                 "--extra", "MozillaWindowClass|Welcome - Netscape",
                 "--extra", "IEFrame|Microsoft Internet Explorer")
    check(run.result == 0 and [(b.caption, b.buttons, b.owner) for b in run.boxes]
          == [("Warning", "OK,Cancel", "host")] * 2, "boxes and owners", run)
    check(run.boxes and "+ Netscape Navigator or Netscape Communicator\n    + "
          "Internet Explorer\n" in run.boxes[0].text, "both browsers listed", run)
    check(run.dialogs == [("Select Directory", "host", plugins, "ok")],
          "the dialog offers 4.7's", run)
    check(filecmp.cmp(s.disk_path(plugins + r"\NPAXVnt.dll"), a.dll, shallow=False),
          "the plug-in library replaces the copy in Plugins")


def fatal(a, s):
    details = r"C:\vantorium_installer_error.txt"
    with open(s.disk_path(details), "wb") as f:
        f.write(b"stale details\r\n" * 500)
    # The stand-in plug-in raises a system error report (code 5); the user
    # asks for the file (Yes) and confirms replacing the old one.
    run = s.host(a.host, a.probe, "Copy failed", "-", "-", "--save-as", details)
    check(run.status == 1 and run.result is None and "EXIT-HANDLER" in run.lines,
          "the report ends the process with status 1 through exit()", run)
    check([(b.caption, b.buttons, b.owner) for b in run.boxes] == [
        ("Vantorium Installer Error", "Yes,No", "none"),
        ("Save Error Details As", "Yes,No", "other")] and len(run.dialogs) == 1,
          "Yes/No box, Save-As, overwrite question", run)
    check(run.boxes and re.search("\nCopy failed\n\nWindows reports the "
                                  "following:\n\\S", run.boxes[0].text),
          "the system's own text follows the heading", run)
    data = read(s, details)
    check(b"stale" not in data and re.search(b"(?<!\r)\n", data) is None,
          "the old file is replaced, its lines end in CR LF")
    check(run.boxes and data.decode("latin-1").replace("\r\n", "\n").startswith(
        run.boxes[0].text + "\n\nAdditional information:\n\n"), "the file")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("story", choices=["install", "ui", "fatal"])
    for name in ("--runner", "--host", "--dll", "--probe", "--work", "--fixture",
                 "--recorder"):
        parser.add_argument(name, required=True)
    a = parser.parse_args()
    session = WineSession(a.runner, a.work)
    globals()[a.story](a, session)
    if failures:
        sys.exit(f"{len(failures)} check(s) failed; prefix kept in {session.prefix}")
    shutil.rmtree(session.prefix)
