"""The payload that runs is the payload that was packed: a sealed installer
refuses an archive that differs from the one sealed into its image, however
the difference came about; a plainly concatenated one works as before."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import harness

SWAPPER = os.path.join(harness.WIN_BUILD, "attacker", "image_swap.exe")
REFUSED = re.compile(r"\[ERR\]\[setup   \]:payload of \[(.+)\] does not match its seal: (.+); nothing started$")


class SealTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="vexlode_seal_")
        harness.clean_slate()

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.work, name)

    def package(self, name, marker):
        return harness.make_zip(self.path(name), {
            "setup.exe": harness.recorder_bytes(),
            "data/blob.bin": harness.random_bytes(200000, 5),
            marker: b"which package this is",
        })

    def assert_refused(self, run, exe, reason, what):
        self.assertEqual(run.exit_code, 0, what + "\n" + run.stderr[-2000:])
        errors = [m for m in map(REFUSED.search, harness.read_log()) if m]
        self.assertEqual(len(errors), 1, (what, harness.read_log()))
        self.assertTrue(errors[0].group(1).lower().endswith(os.path.basename(exe).lower()), what)
        self.assertEqual(errors[0].group(2), reason, what)
        self.assertFalse([l for l in run.debugger_lines() if "UnZip(" in l], what)
        self.assertIsNone(harness.read_record(), what)
        self.assertEqual(harness.leftovers(), [], what)

    def run_exe(self, exe):
        harness.clean_slate()
        return harness.run_installer(exe, cwd=self.work, VEXLODE_RECORD=harness.RECORD_WINDOWS_PATH)

    def test_tampered_files_are_refused_and_intact_ones_install(self):
        package = self.package("package.zip", "ours.txt")
        sealed = harness.pack(package, self.path("sealed.exe"))
        with open(sealed, "rb") as f:
            good = f.read()
        with open(package, "rb") as f:
            archive = f.read()
        start = len(good) - len(archive)

        def changed(at):
            out = bytearray(good)
            out[at] ^= 0x01
            return bytes(out)

        central = good.rindex(b"data/blob.bin")  # the central directory's copy: no CRC covers it
        rows = [
            ("entry data changed", changed(start + 200), "the archive was changed"),
            ("central name changed", changed(central), "the archive was changed"),
            ("archive cut short", good[:-1], "the archive is cut short"),
            ("bytes appended", good + b"\0" * 8, "bytes follow the archive"),
        ]
        for what, content, reason in rows:
            exe = self.path(what.replace(" ", "_") + ".exe")
            with open(exe, "wb") as f:
                f.write(content)
            self.assert_refused(self.run_exe(exe), exe, reason, what)

        for what, exe in (("sealed", sealed),
                          ("concatenated", harness.concatenate(package, self.path("plain.exe")))):
            run = self.run_exe(exe)
            self.assertEqual(run.exit_code, 1, what + "\n" + run.stderr[-2000:])
            record = harness.read_record()
            self.assertIsNotNone(record, what)
            self.assertIn("ours.txt", record["files"], what)
            self.assertEqual(harness.leftovers(), [], what)

    def test_an_installer_swapped_at_its_path_after_start_runs_nothing(self):
        cert, key = harness.make_certificate(self.work)
        other = harness.pack(self.package("other.zip", "theirs.txt"), self.path("other.exe"))
        ours = harness.pack(self.package("package.zip", "ours.txt"), self.path("unsigned.exe"))
        signed = harness.sign(ours, self.path("signed.exe"), cert, key)
        for what, original in (("sealed", ours), ("signed and sealed", signed)):
            exe = self.path("installer.exe")
            shutil.copyfile(original, exe)
            harness.clean_slate()
            done = subprocess.run([harness.WINE, SWAPPER, exe, other], cwd=self.work,
                                  env=harness.wine_env(VEXLODE_RECORD=harness.RECORD_WINDOWS_PATH),
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
            steps = done.stdout.decode(errors="replace")
            self.assertIn("rename\t0", steps, what)
            self.assertIn("copy\t0", steps, what)
            run = harness.Run(done)
            self.assert_refused(run, exe, "the archive was changed", what)
            os.remove(exe)
            os.remove(exe + ".aside")

        # The premise: without the swap, the other installer does run its setup.exe.
        run = self.run_exe(other)
        self.assertEqual(run.exit_code, 1, run.stderr[-2000:])
        self.assertIn("theirs.txt", harness.read_record()["files"])


if __name__ == "__main__":
    unittest.main()
