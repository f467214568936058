"""A Wine prefix for install_host runs, the host's report parsed, and the
prefix's disk and registry read back."""
import collections
import os
import re
import signal
import subprocess

Box = collections.namedtuple("Box", "caption text buttons owner")


def fields(text):
    parts = re.findall(r"((?:[^\\|]|\\.)*)(?:\||$)", text)[:-1]
    return [re.sub(r"\\(.)", lambda m: {"r": "\r", "n": "\n"}.get(m[1], m[1]), p)
            for p in parts]


class HostRun:
    def __init__(self, process):
        self.status, self.output = process.returncode, process.stdout_text
        self.lines = [line.rstrip("\r") for line in self.output.splitlines()]
        self.result = next((int(line[7:]) for line in self.lines
                            if line.startswith("RESULT ")), None)
        self.boxes = [Box(*fields(b[4:])) for b in self.lines if b[:4] == "BOX "]
        self.dialogs = [tuple(fields(d[7:])) for d in self.lines if d[:7] == "DIALOG "]

    def __str__(self):
        return f"exit status {self.status}\n{self.output}"


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class WineSession:
    def __init__(self, runner, work_dir):
        self.runner = runner
        self.prefix = os.path.join(os.path.abspath(work_dir), "prefix")
        subprocess.run([runner, "--new-prefix", self.prefix], check=True)

    def run(self, program, *args):
        """Runs a program in this prefix, ending all it started when it hangs."""
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
        """{key in lower case: {value name ("@": default): text}} of HKLM as
        the prefix stores it once a run is over, whatever the view."""
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
        return os.path.join(self.prefix, "drive_c", path[3:].replace("\\", "/"))
