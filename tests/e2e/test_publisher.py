"""What a publisher chooses at pack time: the elevation the manifest asks for
(and an invoker installer run with a token that is not elevated), and the
progress window of long runs, watched on a virtual X display."""
import os
import re
import shutil
import subprocess
import struct
import time
import unittest
import zlib

import harness

PROBE = os.path.join(harness.WIN_BUILD, "probe", "resource_probe.exe")
UNELEVATED = os.path.join(harness.WIN_BUILD, "probe", "run_unelevated.exe")
SCREENSHOT = os.path.join(harness.WIN_BUILD, "progress-window.png")
TITLE = "Stellar Setup"


def debugger_messages(run):
    """The debugger lines without their times, ids and random names."""
    return [re.sub(r"\d+", "N", line.split("]:", 1)[-1]) for line in run.debugger_lines()]


class ElevationTest(harness.WorkTest):
    def test_manifest_level_check_line_and_an_unelevated_run(self):
        harness.make_zip(self.path("package.zip"), {"setup.exe": harness.recorder_bytes()})
        default = harness.pack(self.path("package.zip"), self.path("default.exe"))
        manifest = {}
        for choice, level, shown in [(None, "requireAdministrator", "administrator: "),
                                     ("administrator", "requireAdministrator", "administrator: "),
                                     ("highest", "highestAvailable", "highest: "),
                                     ("invoker", "asInvoker", "invoker: ")]:
            exe = default if choice is None else harness.pack(self.path("package.zip"), self.path(f"{choice}.exe"),
                                                              "--elevation", choice)
            seen = subprocess.run([harness.WINE, PROBE, exe], env=harness.wine_env(WINEDEBUG="-all"),
                                  stdout=subprocess.PIPE, check=True, timeout=120).stdout.decode()
            manifest[choice] = bytes.fromhex(re.search(r"manifest=([0-9a-f]*)", seen).group(1)).decode()
            self.assertIn(f'level="{level}"', manifest[choice], choice)
            code, facts = harness.check(exe)
            self.assertEqual(code, 0, choice)
            self.assertTrue(facts["elevation"].startswith(shown) and facts["elevation"].endswith(f"({level})"),
                            facts["elevation"])
            # Everything but the level is the stub's own manifest.
            self.assertEqual(manifest[choice], manifest[None].replace("requireAdministrator", level), choice)
        with open(default, "rb") as a, open(self.path("administrator.exe"), "rb") as b:
            self.assertEqual(a.read(), b.read(), "the default is the stub as built")
        with self.assertRaises(subprocess.CalledProcessError):
            harness.pack(self.path("package.zip"), self.path("root.exe"), "--elevation", "root")

        # Wine starts everything elevated; its limited twin is what a
        # standard user's consent-free run gets.
        elevated = self.run_recorded(self.path("invoker.exe"))
        self.assertEqual(self.assert_installed(elevated)["elevated"], "1")
        harness.clean_slate()
        done = subprocess.run([harness.WINE, UNELEVATED, harness.windows_path(self.path("invoker.exe"))],
                              cwd=self.work, env=harness.wine_env(VEXLODE_RECORD=harness.RECORD_WINDOWS_PATH),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
        unelevated = harness.Run(done)
        self.assertIn(b"exit_code=1", done.stdout, unelevated.stderr[-2000:])
        record = harness.read_record()
        self.assertIsNotNone(record, unelevated.stderr[-2000:])
        self.assertEqual(record["elevated"], "0")
        self.assertEqual(harness.leftovers(), [])
        self.assertEqual(debugger_messages(unelevated), debugger_messages(elevated))


def xwd_to_png(xwd, png):
    """A 24-bit TrueColor xwd dump (what Xvfb -screen WxHx24 gives) as PNG."""
    with open(xwd, "rb") as f:
        data = f.read()
    fields = struct.unpack_from(">25I", data)
    header, order, bits, stride, colors = fields[0], fields[7], fields[11], fields[12], fields[19]
    width, height = fields[4], fields[5]
    pixels = data[header + 12 * colors:]
    step = bits // 8
    rows = b""
    for y in range(height):
        line = pixels[y * stride:y * stride + width * step]
        rgb = bytearray()
        for x in range(0, len(line), step):
            value = int.from_bytes(line[x:x + step], "little" if order == 0 else "big")
            rgb += bytes(((value >> 16) & 255, (value >> 8) & 255, value & 255))
        rows += b"\0" + bytes(rgb)

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    with open(png, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


@unittest.skipUnless(shutil.which("Xvfb") and shutil.which("xwininfo") and shutil.which("xwd"),
                     "Xvfb, xwininfo and xwd (scripts/setup installs them)")
class ProgressWindowTest(harness.WorkTest):
    def setUp(self):
        super().setUp()
        # Xvfb picks a free display itself and writes its number once ready.
        self.server = subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", "800x600x24"],
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.display = ":" + self.server.stdout.readline().decode().strip()

    def tearDown(self):
        self.server.kill()
        self.server.wait()
        super().tearDown()

    def windows(self):
        """Wine's top-level windows titled TITLE: their X ids."""
        tree = subprocess.run(["xwininfo", "-root", "-tree", "-display", self.display],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout.decode("utf-8", "replace")
        return re.findall(r"^\s*(0x[0-9a-f]+) \"%s\"" % re.escape(TITLE), tree, re.M)

    def screenshot(self, window, path):
        subprocess.run(["xwd", "-silent", "-display", self.display, "-id", window, "-out", path], check=True)
        with open(path, "rb") as f:
            header_size = int.from_bytes(f.read(4), "big")
            f.seek(header_size)
            return f.read()

    def watch(self, exe):
        """Runs `exe`, polling for the window; returns the run, whether the
        window was seen, and the distinct screenshots of it taken while it
        was up (a loaded machine may redraw seldom: the bar is looked at
        until it has moved or the window is gone, never for a fixed time)."""
        env = harness.wine_env(DISPLAY=self.display, VEXLODE_RECORD=harness.RECORD_WINDOWS_PATH,
                               VEXLODE_RECORD_WINDOW=TITLE)
        process = subprocess.Popen([harness.WINE, exe], cwd=self.work, env=env, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        seen, shots = False, []
        while process.poll() is None:
            found = self.windows()
            if found and len(shots) < 2:
                if not seen:
                    seen = True
                    time.sleep(0.2)  # mapped and painted
                try:
                    shot = self.screenshot(found[0], self.path("shot.xwd"))
                    if not shots or shot != shots[-1]:
                        shots.append(shot)
                        shutil.copy(self.path("shot.xwd"), self.path("window.xwd"))
                except subprocess.CalledProcessError:
                    pass  # closed meanwhile
            time.sleep(0.1)
        out, err = process.communicate(timeout=600)
        run = harness.Run(subprocess.CompletedProcess(process.args, process.returncode, out, err))
        return run, seen, shots

    def test_shown_only_for_long_runs_moving_and_gone_before_setup_starts(self):
        # Wine takes a millisecond or more per file it creates: 6000 files
        # take seconds however warm the page cache is, so the window stays
        # up long enough to see the bar move however seldom a loaded machine
        # lets us look.
        big = {"setup.exe": harness.recorder_bytes()}
        for i in range(6000):
            big[f"data/f{i:04}.bin"] = harness.random_bytes(4000, i)
        harness.make_zip(self.path("big.zip"), big)
        harness.make_zip(self.path("small.zip"), {"setup.exe": harness.recorder_bytes()})
        named = ["--version-string", f"ProductName={TITLE}"]
        long_run = harness.pack(self.path("big.zip"), self.path("big.exe"), "--progress", *named)
        short_run = harness.pack(self.path("small.zip"), self.path("small.exe"), "--progress", *named)
        without = harness.pack(self.path("big.zip"), self.path("plain.exe"), *named)

        self.assertTrue(harness.check(long_run)[1]["option progress"].startswith("shown when"))
        self.assertTrue(harness.check(without)[1]["option progress"].startswith("none"))
        run, seen, shots = self.watch(long_run)
        record = self.assert_installed(run, "long run")
        self.assertTrue(seen, "no window during a run of more than a second")
        self.assertEqual(len(shots), 2, "the bar did not move while the window was up")
        self.assertEqual(record["window"], "0", "the window was still up when setup.exe started")
        xwd_to_png(self.path("window.xwd"), SCREENSHOT)
        print(f"\nprogress window screenshot: {SCREENSHOT}")

        harness.clean_slate()
        plain, plain_seen, _ = self.watch(without)
        self.assert_installed(plain, "without --progress")
        self.assertFalse(plain_seen, "a window without --progress")
        self.assertEqual(debugger_messages(plain), debugger_messages(run))

        harness.clean_slate()
        short, short_seen, _ = self.watch(short_run)
        self.assertEqual(self.assert_installed(short, "short run")["window"], "0")
        self.assertFalse(short_seen, "a window for a run within the second")


if __name__ == "__main__":
    unittest.main()
