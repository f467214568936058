"""Helpers for Wine end-to-end tests: a Wine prefix that lives for one test
session, the test host's report parsed, registry values read back with
`reg query`, and paths translated between Windows and the prefix on disk.

    session = WineSession(runner, work_dir)          # a fresh prefix
    run = session.run_host(host, dll, r"C:\\Data", "", library,
                           "--answers", "Warning=OK")
    run.result                     # Wise_DoInstall's result, or None
    run.boxes[0].caption           # message boxes seen, in order
    session.reg_value(r"HKLM\\SOFTWARE\\X", "Name")    # text or None
    session.disk_path(r"C:\\Data\\NPAXVnt.dll")         # path on Linux
"""
import os
import re
import shutil
import signal
import subprocess
from dataclasses import dataclass, field


def unescape(text):
    out, i = [], 0
    table = {"\\": "\\", "|": "|", "r": "\r", "n": "\n", "t": "\t"}
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            out.append(table.get(text[i + 1], text[i + 1]))
            i += 2
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


def split_fields(text):
    """Splits a report line's payload at '|' not escaped by a backslash."""
    fields = re.findall(r"((?:[^\\|]|\\.)*)(?:\||$)", text)
    return [unescape(f) for f in fields[:-1]] if fields else []


@dataclass
class Box:
    caption: str
    text: str
    flags: object  # int, or None when the box was not the plug-in's
    owner: str     # "host", "none" or "other"
    answer: str
    how: str       # "scripted" or "default"


@dataclass
class Dialog:
    caption: str
    owner: str
    action: str


@dataclass
class HostRun:
    returncode: int
    stdout: str
    stderr: str
    result: object = None          # int, or None when there was none
    no_result: object = None       # the reason given with NO-RESULT
    windows: list = field(default_factory=list)   # (class, title)
    boxes: list = field(default_factory=list)
    dialogs: list = field(default_factory=list)

    def describe(self):
        return (f"exit status {self.returncode}\n--- stdout\n{self.stdout}"
                f"--- stderr\n{self.stderr}")


def parse_host_output(stdout, returncode=0, stderr=""):
    run = HostRun(returncode, stdout, stderr)
    for line in stdout.splitlines():
        line = line.rstrip("\r")
        kind, _, rest = line.partition(" ")
        if kind == "RESULT":
            run.result = int(rest)
        elif kind == "NO-RESULT":
            run.no_result = rest
        elif kind == "WINDOW":
            f = split_fields(rest)
            run.windows.append((f[0], f[1]))
        elif kind == "BOX":
            f = split_fields(rest)
            flags = None if f[2] == "?" else int(f[2], 16)
            run.boxes.append(Box(f[0], f[1], flags, f[3], f[4], f[5]))
        elif kind == "DIALOG":
            f = split_fields(rest)
            run.dialogs.append(Dialog(f[0], f[1], f[2]))
    return run


def windows_path(path):
    """The Windows name of a Linux path (Wine maps Z: to /)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class WineSession:
    """One Wine prefix, made fresh for a session of runs and removed by
    close()."""

    def __init__(self, runner, work_dir):
        self.runner = runner
        self.work_dir = os.path.abspath(work_dir)
        self.prefix = os.path.join(self.work_dir, "prefix")
        os.makedirs(self.work_dir, exist_ok=True)
        subprocess.run([runner, "--new-prefix", self.prefix], check=True)

    def close(self):
        shutil.rmtree(self.prefix, ignore_errors=True)

    def run(self, program, *args, timeout=300):
        """Runs a program in this prefix; a run past timeout is ended with
        everything it started (a Wine error box would otherwise wait for
        ever) and raises subprocess.TimeoutExpired."""
        env = dict(os.environ, BRACKENFOLD_WINEPREFIX=self.prefix)
        p = subprocess.Popen([self.runner, program, *args], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, errors="replace",
                             start_new_session=True)
        try:
            out, err = p.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            p.communicate()
            subprocess.run([self.runner, "--kill"], env=env)
            raise
        return subprocess.CompletedProcess(p.args, p.returncode, out, err)

    def run_host(self, host, dll, data_dir, blob_list, library, *options,
                 timeout=300):
        p = self.run(host, *options, windows_path(dll), data_dir, blob_list,
                     library, timeout=timeout)
        return parse_host_output(p.stdout, p.returncode, p.stderr)

    # The product is a 32-bit program: on 64-bit Windows, and in Wine's 64-bit
    # prefixes, its HKLM\Software is the 32-bit view (WOW6432Node). `reg`
    # runs 64-bit here, so every access names the view; view=64 looks at the
    # native one.
    def reg(self, *args, view=32):
        return self.run("reg", *args, f"/reg:{view}")

    def reg_tree(self, key, view=32):
        """{key path below key ("" for key itself): {name: (type, data)}}
        of a key and all its subkeys, in one `reg query /s` ("" names the
        default value); None when the key is missing."""
        p = self.reg("query", key, "/s", view=view)
        if p.returncode != 0:
            return None
        tree, current = {}, None
        for line in p.stdout.splitlines():
            line = line.rstrip("\r")
            m = re.match(r"^\s{4}(.*?)\s{4}(REG_\w+)(?:\s{4}(.*))?$", line)
            if m and current is not None:
                name = "" if m.group(1) == "(Default)" else m.group(1)
                tree[current][name] = (m.group(2), m.group(3) or "")
            elif line.upper().startswith("HKEY_"):
                current = line.split("\\", 1)[1] if "\\" in line else ""
                current = current[len(key.split("\\", 1)[1]):]
                tree[current] = {}
        return tree

    def reg_value(self, key, name, view=32):
        """The data of a registry value as `reg query` shows it, or None."""
        p = self.reg("query", key, "/v", name, view=view)
        if p.returncode != 0:
            return None
        for line in p.stdout.splitlines():
            m = re.match(r"^\s{4}(.*?)\s{4}(REG_\w+)(?:\s{4}(.*))?$",
                         line.rstrip("\r"))
            if m and m.group(1).lower() == name.lower():
                return m.group(3) or ""
        return None

    def machine_keys_on_disk(self):
        """The key paths of HKEY_LOCAL_MACHINE as the prefix stores them
        (system.reg; the wineserver is gone after every run, so the file is
        current): where a key really landed, whatever view wrote it."""
        keys = set()
        with open(os.path.join(self.prefix, "system.reg"), encoding="latin-1") as f:
            for line in f:
                m = re.match(r"^\[(.*)\] \d+$", line.rstrip("\n"))
                if m:
                    keys.add(m.group(1).replace("\\\\", "\\").lower())
        return keys

    def disk_path(self, path):
        """Where a Windows path of this prefix lies on Linux."""
        drive, rest = path[:2].lower(), path[2:].replace("\\", "/").lstrip("/")
        if drive == "z:":
            return "/" + rest
        return os.path.join(self.prefix, "dosdevices", drive, rest)
