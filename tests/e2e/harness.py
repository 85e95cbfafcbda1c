"""Packs installers and runs them under Wine for the end-to-end tests."""
import glob
import os
import random
import re
import shutil
import struct
import subprocess
import tempfile
import unittest
import zipfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
WIN_BUILD = os.environ.get("VEXLODE_WIN_BUILD", os.path.join(ROOT, "build", "win64"))
PACKER = os.path.join(ROOT, "build", "native", "vexlode-pack")
STUB = os.path.join(WIN_BUILD, "vexlode.exe")


def _is_x64(exe):
    """Whether a PE image is x86_64 (machine 0x8664) rather than i386."""
    with open(exe, "rb") as f:
        head = f.read(4096)
    pe = struct.unpack_from("<I", head, 60)[0]
    return struct.unpack_from("<H", head, pe + 4)[0] == 0x8664


# The Wine loader and packer flag follow the build under test.
X64 = _is_x64(STUB)
WINE = "/usr/lib/wine/wine64" if X64 else "/usr/lib/wine/wine"
PACK_FLAGS = ["--allow-x64"] if X64 else []
PREFIX = os.path.join(WIN_BUILD, "wineprefix")


def wine_env(**extra):
    env = dict(os.environ)
    env.update(WINEPREFIX=PREFIX, WINELOADER=WINE, WINEDEBUG="-all,warn+seh",
               LC_ALL="zh_CN.UTF-8", WINEDLLOVERRIDES="mscoree,mshtml=")
    env.update(extra)
    return env


def windows_path(path):
    """How Wine names a Unix path: its Z: drive."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


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
    return path


def random_bytes(size, seed):
    return random.Random(seed).randbytes(size)


def pack(package, out, *options):
    subprocess.run([PACKER, *PACK_FLAGS, "--stub", STUB, package, "-o", out, *options],
                   check=True, stdout=subprocess.DEVNULL)
    return out


def check(exe, packer=PACKER):
    """The packer's --check on an installer: its exit code and its facts by key."""
    done = subprocess.run([packer, "--check", exe], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    lines = done.stdout.decode("utf-8", "replace").splitlines()
    return done.returncode, dict(line.split(": ", 1) for line in lines if ": " in line)


def seal_record_offset(exe):
    """Where the installer's seal record lies: the start of its .vxseal section."""
    with open(exe, "rb") as f:
        head = f.read(4096)
    pe = struct.unpack_from("<I", head, 60)[0]
    count, optional = struct.unpack_from("<H", head, pe + 6)[0], struct.unpack_from("<H", head, pe + 20)[0]
    for i in range(count):
        header = pe + 24 + optional + 40 * i
        if head[header:header + 8] == b".vxseal\0":
            return struct.unpack_from("<I", head, header + 20)[0]
    raise ValueError("no seal section in " + exe)


def concatenate(package, out):
    """An installer made the plain way, stub and archive end to end: no seal."""
    with open(out, "wb") as target:
        for part in (STUB, package):
            with open(part, "rb") as source:
                target.write(source.read())
    return out


def make_certificate(folder):
    """A self-signed test certificate and its key, made here and now."""
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "2", "-subj", "/CN=vexlode test publisher"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


def sign(unsigned, signed, cert, key):
    subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-n", "vexlode test",
                    "-h", "sha256", "-in", unsigned, "-out", signed],
                   check=True, stdout=subprocess.DEVNULL)
    return signed


class Run:
    def __init__(self, completed):
        self.exit_code = completed.returncode
        self.stderr = completed.stderr.decode("utf-8", "replace")

    def evidence(self):
        """What a failed expectation about a run should show: whether the stub
        ran at all (Wine's own start-up failures also exit with 1), its last
        debugger lines and what Wine printed besides."""
        others = [l for l in self.stderr.splitlines()
                  if "OutputDebugString" not in l and "dispatch_exception" not in l]
        return "exit code %s\ndebugger lines: %s\nwine: %s\nlog: %s" % (
            self.exit_code, self.debugger_lines()[-8:], others[-8:], read_log()[-8:])

    def debugger_lines(self):
        """Debugger output, as Wine's seh channel prints it."""
        lines = []
        for match in re.finditer(r'OutputDebugString[AW] "(.*?)"\s*$', self.stderr, re.M):
            lines.append(_unescape(match.group(1)))
        return lines


def _unescape(traced):
    """Wine traces the ANSI (code page 936) text with C escapes."""
    out = bytearray()
    i = 0
    while i < len(traced):
        if traced[i] == "\\" and i + 1 < len(traced):
            nxt = traced[i + 1]
            if nxt == "x" and i + 3 < len(traced) + 1:
                out.append(int(traced[i + 2:i + 4], 16))
                i += 4
                continue
            out.extend({"r": b"\r", "n": b"\n", "t": b"\t"}.get(nxt, nxt.encode()))
            i += 2
            continue
        out.extend(traced[i].encode("utf-8"))
        i += 1
    return out.decode("gbk", "replace").rstrip("\r\n")


LAUNCHER = os.path.join(WIN_BUILD, "bench", "bench_launcher.exe")


def run_installer(exe, args=(), cwd=None, **env):
    completed = subprocess.run([WINE, exe, *args], cwd=cwd, env=wine_env(**env),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
    return Run(completed)


def run_for_exit_code(exe, args=(), cwd=None, **env):
    """As run_installer, with the whole 32-bit exit code: Wine hands only its
    low byte on to Unix, so a Windows launcher reads it."""
    completed = subprocess.run([WINE, LAUNCHER, windows_path(exe), *args], cwd=cwd, env=wine_env(**env),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
    run = Run(completed)
    reported = re.search(rb"exit_code=(\d+)", completed.stdout)
    run.exit_code = int(reported.group(1)) if reported else None
    return run


RECORDER = os.path.join(WIN_BUILD, "recorder", "setup.exe")
RECORD_WINDOWS_PATH = "C:\\vexlode-record.txt"
RECORD_PATH = os.path.join(PREFIX, "drive_c", "vexlode-record.txt")
LOG_PATH = os.path.join(PREFIX, "drive_c", "plomet_setup.log")


def recorder_bytes():
    with open(RECORDER, "rb") as f:
        return f.read()


def read_record():
    """What the stand-in setup.exe saw, or None when it did not run."""
    if not os.path.exists(RECORD_PATH):
        return None
    record = {"files": {}, "dirs": {}}
    with open(RECORD_PATH, encoding="utf-8") as f:
        for line in f.read().splitlines():
            kind, *fields = line.split("\t")
            if kind == "file":
                name, size, attributes, write, crc = fields
                record["files"][name] = dict(size=int(size), attributes=int(attributes, 16),
                                             write=int(write), crc=crc)
            elif kind == "dir":
                record["dirs"][fields[0]] = int(fields[1], 16)
            elif kind == "archive":
                record["archive"] = dict(path=fields[0], size=int(fields[1]), crc=fields[2])
            else:
                record[kind] = fields[0]
    return record


def clean_slate():
    """Removes earlier runs' records, logs and leftovers."""
    for path in (RECORD_PATH, LOG_PATH, LOG_PATH[:-4] + ".wtx"):
        if os.path.exists(path):
            os.chmod(path, 0o644)
            os.remove(path)
    for name in leftovers():
        path = os.path.join(temp_dir(), name)
        subprocess.run(["rm", "-rf", path], check=False)


def get_temp():
    """TEMP as the prefix's registry gives it to new processes; None when unset."""
    out = subprocess.run([WINE, "reg", "query", "HKCU\\Environment", "/v", "TEMP"],
                         env=wine_env(), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    found = re.search(r"TEMP\s+REG_\w+\s+(.+?)\r?$", out.stdout.decode(errors="replace"), re.M)
    return found.group(1) if found else None


def set_temp(value):
    """Points TEMP and TMP of the processes started from now on at `value`."""
    for name in ("TEMP", "TMP"):
        subprocess.run([WINE, "reg", "add", "HKCU\\Environment", "/v", name, "/d", value, "/f"],
                       env=wine_env(), check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)


def read_log():
    if not os.path.exists(LOG_PATH):
        return []
    with open(LOG_PATH, "rb") as f:
        return f.read().decode("gbk").splitlines()


class WorkTest(unittest.TestCase):
    """A test with a scratch folder of its own, from a clean prefix."""

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="vexlode_e2e_")
        clean_slate()

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.work, name)

    def run_recorded(self, exe, args=(), **env):
        env.setdefault("VEXLODE_RECORD", RECORD_WINDOWS_PATH)
        return run_installer(exe, args, cwd=self.work, **env)

    def assert_installed(self, run, what=""):
        """The run got setup.exe started and left nothing; returns what setup.exe saw."""
        self.assertEqual(run.exit_code, 1, "%s\n%s" % (what, run.stderr[-2000:]))
        record = read_record()
        self.assertIsNotNone(record, (what, run.debugger_lines()))
        self.assertEqual(leftovers(), [], what)
        return record

