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
    """Writes core.blob and viewer.blob; gives their Windows paths."""
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
    # The viewer needs CORE 2, which nobody has: one box without owner, and
    # the steps before the components stay done.
    run = s.host(a.host, a.dll, data, blob("viewer.blob"), windows_path(a.dll))
    check(run.result == -1 and [b[:4] for b in run.boxes] == [
        ("Error", "Fatal error during install.  Could not install component "
         "files.", "0x0", "none")], "refused component: one error box", run)
    check(os.listdir(s.disk_path(components)) == [], "refused: nothing stored")
    run = s.host(a.host, a.dll, data, blob("core.blob"), windows_path(a.dll))
    check(run.result == 0 and not run.boxes, "CORE installed silently", run)
    # CORE is found in the store the registry now names; the index is replaced
    # although the host holds it open for reading (as the installed-component
    # search does, without delete sharing). The plug-in library given is the
    # copy itself, in other letter case: copied onto itself, it keeps its bytes.
    index = components + r"\compindx.dat"
    run = s.host(a.host, a.dll, data, blob("viewer.blob"),
                 data + r"\npaxvnt.DLL", "--hold", index)
    check(run.result == 0 and not run.boxes, "VIEWER installed silently", run)
    m = re.fullmatch(
        "component= CORE\n\tversion= 2\n\tinstalled_local= core.dat;(core\\w{8}"
        "\\.dat)\ncomponentend\ncomponent= VIEWER\n\tversion= 3\n\tinstalled_"
        "local= Viewer.dll;(viewer\\w{8}\\.dll)\n\tinstalled_local= bin.dat;"
        "(bin\\w{8}\\.dat)\ncomponentend\n", read(s, index).decode("latin-1"))
    check(m, "the index holds both entries, with bare line feeds")
    core, viewer, bin_dat = m.groups() if m else ("-", "-", "-")
    stored = lambda name: read(s, components + "\\" + name)
    check(stored(core) == b"core data" and stored(bin_dat) == b"viewer data"
          and stored(viewer) == open(a.recorder, "rb").read(), "payloads")
    # Called as WINAPI with its own path, the count and the names in
    # registered-name order.
    check(stored(viewer + ".calls") == f"library={components}\\{viewer}\n"
          f"count=2\nViewer.dll;{viewer}\nbin.dat;{bin_dat}\nend\n".encode(),
          "initialisation call")
    # Nothing more (Wine's ReplaceFileA leaves the empty file it made to move
    # the held index aside into).
    check(len([n for n in os.listdir(s.disk_path(components)) if not re.fullmatch(
        r"rf.*\.tmp", n)]) == 5, "no descriptor, lock or temporary index is left")
    check(filecmp.cmp(s.disk_path(data + r"\NPAXVnt.dll"), a.dll, shallow=False),
          "the plug-in library is copied as NPAXVnt.dll")

    # A 32-bit installer's HKLM\SOFTWARE is the WOW6432Node view.
    keys = s.machine_values()
    ie = r"microsoft\internet explorer\plugins"
    extension = {"Location": data + r"\NPAXVnt.dll", "@": "Vantorium, Inc.'s "
                 "Vantorium3D", "Content Type": "application/x-Vantorium-3D-Applet"}
    for key, values in {r"vantorium\vantorium player": {"SystemDataPath": data},
                        ie + r"\extension\.vtvm": extension,
                        ie + r"\extension\.kfvm": extension,
                        ie + r"\mime\application/x-vantorium-3d-applet":
                            {"Extension": ".vtvm"}}.items():
        check(keys.get("software\\wow6432node\\" + key) == values, key)
        check("software\\" + key not in keys, key + " not in the 64-bit view")


def ui(a, s):
    blob = blobs(a, s)
    # Navigator as the user's and, in two versions, the machine's (the 32-bit
    # view); the highest version's Plugins directory holds an older copy.
    reg = os.path.join(a.work, "netscape.reg")
    with open(reg, "w") as f:
        f.write("Windows Registry Editor Version 5.00\n")
        machine = r"HKEY_LOCAL_MACHINE\Software\Wow6432Node\Netscape\Netscape Navigator"
        for key, path in ((r"HKEY_CURRENT_USER\Software\Netscape\Netscape Navigator",
                           "User"), (machine + r"\4.5", "Old"),
                          (machine + r"\4.7 (en)", r"Communicator\\")):
            f.write(f'[{key}\\Main]\n"Install Directory"="C:\\\\Netscape\\\\{path}"\n')
    check(s.run("reg", "import", windows_path(reg)).returncode == 0, "reg import")
    plugins = r"C:\Netscape\Communicator\Program\Plugins"
    os.makedirs(s.disk_path(plugins))
    with open(s.disk_path(plugins + r"\NPAXVnt.dll"), "w") as f:
        f.write("an older plug-in")
    # Look-alikes of the host's window come first in the window order; both
    # browsers are seen, by title and by class. The user types a directory
    # that is not there, then the offered one with a trailing backslash.
    run = s.host(a.host, a.dll, r"C:\Vantorium\Data", blob("core.blob"),
                 windows_path(a.dll),
                 "--extra", "NotTheHost|Vantorium 3D Player",
                 "--extra", "GLBSInstall|Vantorium 3D Player Setup",
                 "--extra", "MozillaWindowClass|Welcome - Netscape",
                 "--extra", "IEFrame|Microsoft Internet Explorer",
                 "--answers", "Warning=OK;Warning=OK",
                 "--dir", r"C:\Not\There", "--dir", plugins + "\\")
    check(run.result == 0 and [(b.caption, b.flags, b.owner) for b in run.boxes]
          == [("Warning", "0x31", "host"), ("Warning", "0x31", "host"),
              ("Invalid Directory", "0x0", "other")], "boxes and owners", run)
    check(run.boxes and "+ Netscape Navigator or Netscape Communicator\n    + "
          "Internet Explorer\n" in run.boxes[0].text, "both browsers listed", run)
    check(len(run.dialogs) == 2 and run.dialogs[0][:3] == (
        "Select Directory", "host", plugins), "the dialog offers 4.7's", run)
    check(filecmp.cmp(s.disk_path(plugins + r"\NPAXVnt.dll"), a.dll, shallow=False),
          "the plug-in library replaces the copy in Plugins")


def fatal(a, s):
    details = r"C:\vantorium_installer_error.txt"
    with open(s.disk_path(details), "wb") as f:
        f.write(b"stale details\r\n" * 500)
    caption = "Vantorium Installer Error"
    # The stand-in plug-in raises a system error report (code 5); the user
    # asks for the file and confirms replacing the old one.
    run = s.host(a.host, a.probe, "Copy failed", "-", "-", "--answers",
                 caption + "=Yes;Save Error Details As=Yes", "--save-as", details)
    check(run.status == 1 and run.result is None and "EXIT-HANDLER" in run.lines,
          "the report ends the process with status 1 through exit()", run)
    check([(b.caption, b.flags, b.owner) for b in run.boxes] ==
          [(caption, "0x114", "none"), ("Save Error Details As", "?", "other")],
          "Yes/No box with No as default, then the overwrite question", run)
    check(run.boxes and re.search("\nCopy failed\n\nWindows reports the "
                                  "following:\n\\S", run.boxes[0].text),
          "the system's own text follows the heading", run)
    # The Save-As structure without the Windows 2000 fields, as every version
    # of the dialog accepts.
    check("SAVEFILE 76" in run.lines and len(run.dialogs) == 1, "Save-As", run)
    data = read(s, details)
    check(b"stale" not in data and re.search(b"(?<!\r)\n", data) is None,
          "the old file is replaced, its lines end in CR LF")
    check(run.boxes and data.decode("latin-1").replace("\r\n", "\n").startswith(
        run.boxes[0].text + "\n\nAdditional information:\n\n"), "the file")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("story", choices=["install", "ui", "fatal"])
    for name in ("--runner", "--host", "--dll", "--probe", "--work", "--fixture",
                 "--recorder"):
        parser.add_argument(name, required=True)
    a = parser.parse_args()
    session = WineSession(a.runner, a.work)
    globals()[a.story](a, session)
    if failures:
        print(f"{len(failures)} check(s) failed; prefix kept in {session.prefix}")
        return 1
    shutil.rmtree(session.prefix)
    return 0


if __name__ == "__main__":
    sys.exit(main())
