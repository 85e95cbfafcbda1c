"""Packs installers and runs them under Wine for the end-to-end tests."""
import glob
import io
import os
import random
import re
import subprocess
import zipfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
WIN_BUILD = os.environ.get("VEXLODE_WIN_BUILD", os.path.join(ROOT, "build", "win64"))
PACKER = os.path.join(ROOT, "build", "native", "vexlode-pack")
STUB = os.path.join(WIN_BUILD, "vexlode.exe")
WINE = "/usr/lib/wine/wine64"
PREFIX = os.environ.get("WINEPREFIX", os.path.join(WIN_BUILD, "wineprefix"))


def wine_env(**extra):
    env = dict(os.environ)
    env.update(WINEPREFIX=PREFIX, WINELOADER=WINE, WINEDEBUG="-all,warn+seh",
               LC_ALL="zh_CN.UTF-8", WINEDLLOVERRIDES="mscoree,mshtml=")
    env.update(extra)
    return env


def temp_dir():
    """The Windows temporary directory of the prefix, as a Unix path."""
    users = os.path.join(PREFIX, "drive_c", "users")
    for pattern in ("*/AppData/Local/Temp", "*/Temp"):
        found = [d for d in glob.glob(os.path.join(users, pattern)) if "Public" not in d]
        if found:
            return found[0]
    raise RuntimeError("no temporary directory in " + users)


def leftovers():
    return sorted(n for n in os.listdir(temp_dir()) if n.startswith("vexlode_"))


def make_zip(path, members):
    """members: name -> bytes (or None for a directory entry)."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in members.items():
            if data is None:
                archive.writestr(zipfile.ZipInfo(name.rstrip("/") + "/"), b"")
            else:
                archive.writestr(name, data)


def random_bytes(size, seed):
    return random.Random(seed).randbytes(size)


def pack(package, out):
    subprocess.run([PACKER, "--allow-x64", "--stub", STUB, package, "-o", out],
                   check=True, stdout=subprocess.DEVNULL)
    return out


class Run:
    def __init__(self, completed):
        self.exit_code = completed.returncode
        self.stderr = completed.stderr.decode("utf-8", "replace")

    def debugger_lines(self):
        """Debugger output, as Wine's seh channel prints it."""
        lines = []
        for match in re.finditer(r'OutputDebugString[AW] "(.*?)"\s*$', self.stderr, re.M):
            lines.append(match.group(1).replace("\\r\\n", "").replace("\\\\", "\\"))
        return lines


def run_installer(exe, args=(), cwd=None, **env):
    completed = subprocess.run([WINE, exe, *args], cwd=cwd, env=wine_env(**env),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
    return Run(completed)
