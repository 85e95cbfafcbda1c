"""Another process of the same user races the installer for its files in %TEMP%."""
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest
import zipfile

import harness

ATTACKER_DIR = os.path.join(harness.WIN_BUILD, "attacker")
MARKER = os.path.join(harness.PREFIX, "drive_c", "vexlode-pwned.txt")
# Only what the attacker may leave in a folder of the run that it planted into.
PLANTED = {"plant.dll", "setup.exe.local", "setup.exe.local/plant.dll"}


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def read_lines(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read().splitlines()


def tree(path):
    found = set()
    for top, dirs, files in os.walk(path):
        for name in dirs + files:
            found.add(os.path.relpath(os.path.join(top, name), path))
    return found


class AttackTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="vexlode_e2e_")
        package = os.path.join(cls.work, "package.zip")
        # setup.exe first, then enough incompressible data that extraction
        # goes on for a while after setup.exe is closed.
        with zipfile.ZipFile(package, "w", zipfile.ZIP_STORED) as archive:
            archive.writestr("setup.exe", harness.recorder_bytes())
            archive.writestr("big.bin", harness.random_bytes(64 << 20, 9))
        cls.installer = harness.pack(package, os.path.join(cls.work, "installer.exe"))
        cls.evil_zip = os.path.join(cls.work, "evil.zip")
        with open(os.path.join(ATTACKER_DIR, "evil.exe"), "rb") as f:
            harness.make_zip(cls.evil_zip, {"setup.exe": f.read()})

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def setUp(self):
        harness.clean_slate()
        if os.path.exists(MARKER):
            os.remove(MARKER)

    def run_attacked(self, mode, **env):
        """Starts the attacker, then the installer; returns the run and the attacker's report."""
        report = os.path.join(self.work, mode + ".txt")
        if os.path.exists(report):
            os.remove(report)  # an earlier "ready" must not count
        attacker = subprocess.Popen(
            [harness.WINE, os.path.join(ATTACKER_DIR, "attacker.exe"), mode, windows_path(report),
             windows_path(self.evil_zip)],
            env=harness.wine_env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            for _ in range(600):  # a bound on the wait, not an expectation
                if "ready" in read_lines(report) or attacker.poll() is not None:
                    break
                time.sleep(0.1)
            self.assertIn("ready", read_lines(report), "attacker did not start")
            run = harness.run_installer(self.installer, cwd=self.work,
                                        VEXLODE_RECORD=harness.RECORD_WINDOWS_PATH, **env)
        finally:
            open(report + ".stop", "w").close()
            attacker.wait(timeout=120)
            os.remove(report + ".stop")
        return run, read_lines(report)

    def test_attacks_from_another_process_never_run_its_code(self):
        cases = [
            ("precreate", {}),  # read-only setup.exe in a directory made first
            ("overwrite", {}),  # setup.exe rewritten once extracted and closed
            ("swap", {}),       # another archive renamed over the temporary one
            ("plant", dict(VEXLODE_RECORD_LOAD="plant.dll")),  # DLL beside setup.exe
        ]
        for mode, env in cases:
            with self.subTest(mode):
                self.setUp()
                run, report = self.run_attacked(mode, **env)
                try:
                    self.check_attacked_run(run, report)
                finally:
                    self.remove_attackers_leftovers()

    def check_attacked_run(self, run, report):
        log = harness.read_log()
        context = "\nreport:\n%s\nlog:\n%s\ndebugger:\n%s" % (
            "\n".join(report), "\n".join(log), "\n".join(run.debugger_lines()[-10:]))
        self.assertEqual(read_lines(MARKER), [], "attacker code ran" + context)
        self.assertTrue(set(report) - {"ready", "end"}, "the attacker never saw the run" + context)
        self.assertEqual(run.exit_code, 1, context)
        unzip = [re.search(r"UnZip\((vexlode_\d+_\d+_\d+)\.zip,.*\\(vexlode_\d+_\d+_\d+)\\,", line)
                 for line in run.debugger_lines()]
        own = [m.groups() for m in unzip if m]
        record = harness.read_record()
        if record is None:
            # Refused: nothing started, one error naming the refused path.
            errors = [line for line in log if "[ERR]" in line]
            self.assertEqual(len(errors), 1, context)
            self.assertRegex(errors[0], r"vexlode_\d+_\d+_\d+", context)
        elif own:
            # Not refused: the real setup.exe ran, from the run's own folder.
            self.assertIn("\\%s\\setup.exe" % own[-1][1], record["self"], context)
        made = {line.split("\t")[1] for line in report if line.startswith("made\t")}
        planted = {line.split("\t")[1] for line in report if line.startswith("planted\t")}
        left = harness.leftovers()
        for base, directory in own:
            self.assertNotIn(base + ".zip", left, context)
            made.discard(directory)  # the run's folder, even if the attacker made it first
        for name in left:
            if name in made:
                continue
            self.assertIn(name, planted, "the run left " + name + context)
            self.assertLessEqual(tree(os.path.join(harness.temp_dir(), name)), PLANTED, context)

    def remove_attackers_leftovers(self):
        temp = harness.temp_dir()
        for name in os.listdir(temp):
            if name.startswith(("vexlode_", "swap_vexlode_")):
                subprocess.run(["rm", "-rf", os.path.join(temp, name)], check=False)

    def test_the_installer_cannot_move_or_change_the_runs_files(self):
        package = os.path.join(self.work, "small.zip")
        harness.make_zip(package, {"setup.exe": harness.recorder_bytes()})
        exe = harness.pack(package, os.path.join(self.work, "small.exe"))
        run = harness.run_installer(exe, cwd=self.work, VEXLODE_RECORD=harness.RECORD_WINDOWS_PATH,
                                    VEXLODE_RECORD_PROBE="1")
        self.assertEqual(run.exit_code, 1)
        probes = dict(line.split("\t")[1:] for line in read_lines(harness.RECORD_PATH)
                      if line.startswith("probe\t"))
        # A running image cannot be deleted anyway: Windows and Wine say
        # access denied (5), which is as safe as the sharing violation (32).
        cases = [("rename_directory", {"32"}), ("delete_directory", {"32"}),
                 ("write_archive", {"32"}), ("delete_archive", {"32"}),
                 ("write_image", {"32"}), ("rename_image", {"32"}), ("delete_image", {"32", "5"})]
        for name, safe in cases:
            with self.subTest(name):
                self.assertIn(probes.get(name), safe, probes)
        self.assertEqual(harness.leftovers(), [])


if __name__ == "__main__":
    unittest.main()
