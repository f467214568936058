"""A Wine prefix for one session of runs of install_host, the host's report
parsed, and the prefix's disk and registry files read back.

    session = WineSession(runner, work_dir)            # a fresh prefix
    run = session.host(host, plugin, r"C:\\Data", blob_list, library,
                       "--answers", "Warning=OK")
    run.result, run.boxes[0].caption, run.dialogs[0].shown
    session.machine_values()[r"software\\wow6432node\\x"]["name"]
    session.disk_path(r"C:\\Data\\NPAXVnt.dll")           # path on Linux
"""
import collections
import os
import re
import signal
import subprocess

Box = collections.namedtuple("Box", "caption text flags owner answer")
Dialog = collections.namedtuple("Dialog", "caption owner shown action")


def fields(text):
    """A report line's payload split at '|' and unescaped."""
    parts = re.findall(r"((?:[^\\|]|\\.)*)(?:\||$)", text)[:-1]
    return [re.sub(r"\\(.)", lambda m: {"r": "\r", "n": "\n"}.get(m[1], m[1]), p)
            for p in parts]


class HostRun:
    def __init__(self, process):
        self.status, self.output = process.returncode, process.stdout_text
        self.result, self.boxes, self.dialogs, self.lines = None, [], [], []
        for line in self.output.splitlines():
            line = line.rstrip("\r")
            self.lines.append(line)
            kind, _, rest = line.partition(" ")
            if kind == "RESULT":
                self.result = int(rest)
            elif kind == "BOX":
                self.boxes.append(Box(*fields(rest)))
            elif kind == "DIALOG":
                self.dialogs.append(Dialog(*fields(rest)))

    def __str__(self):
        return f"exit status {self.status}\n{self.output}"


def windows_path(path):
    """The Windows name of a Linux path (Wine maps Z: to /)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class WineSession:
    def __init__(self, runner, work_dir):
        self.runner = runner
        self.prefix = os.path.join(os.path.abspath(work_dir), "prefix")
        subprocess.run([runner, "--new-prefix", self.prefix], check=True)

    def run(self, program, *args):
        """Runs a program in this prefix; one still running after ten minutes
        is ended with everything it started (a box of Wine's own would wait
        for ever)."""
        env = dict(os.environ, BRACKENFOLD_WINEPREFIX=self.prefix)
        p = subprocess.Popen([self.runner, program, *args], env=env, text=True,
                             errors="replace", stdout=subprocess.PIPE,
                             start_new_session=True)
        try:
            p.stdout_text = p.communicate(timeout=600)[0]
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            subprocess.run([self.runner, "--kill"], env=env)
            raise
        return p

    def host(self, host, plugin, *args):
        return HostRun(self.run(host, "--timeout", "120",
                                windows_path(plugin), *args))

    def machine_values(self):
        """{key: {value name: text}} of HKEY_LOCAL_MACHINE as the prefix
        stores it (system.reg, current once the wineserver is gone after a
        run): where each key really landed, whatever view wrote it. Keys are
        lower case; "@" names the default value."""
        keys, key = {}, None
        with open(os.path.join(self.prefix, "system.reg"), encoding="latin-1") as f:
            for line in f:
                m = re.match(r'^\[(.*)\] \d+$|^("(?:[^"\\]|\\.)*"|@)="(.*)"$',
                             line.rstrip("\n"))
                if m and m[1]:
                    key = keys.setdefault(m[1].replace("\\\\", "\\").lower(), {})
                elif m and key is not None:
                    key[re.sub(r'\\(.)', r"\1", m[2].strip('"'))] = \
                        re.sub(r'\\(.)', r"\1", m[3])
        return keys

    def disk_path(self, path):
        """Where a Windows path of drive C lies on Linux."""
        return os.path.join(self.prefix, "drive_c",
                            path[3:].replace("\\", "/"))
