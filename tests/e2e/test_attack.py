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


def snapshot(path):
    """Every file and folder below `path` with its contents."""
    found = {}
    for top, dirs, files in os.walk(path):
        for name in dirs:
            found[os.path.relpath(os.path.join(top, name), path)] = None
        for name in files:
            with open(os.path.join(top, name), "rb") as f:
                found[os.path.relpath(os.path.join(top, name), path)] = f.read()
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

    def run_attacked(self, mode, installer=None, **env):
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
            run = harness.run_installer(installer or self.installer, cwd=self.work,
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

    def test_temp_through_a_link_repointed_mid_run_reaches_nothing_else(self):
        """%TEMP% is a link the user re-points to another folder holding a folder
        of the run's name: while setup.exe runs, during the payload copy, during
        extraction."""
        drive_c = os.path.join(harness.PREFIX, "drive_c")
        real, other, link = (os.path.join(drive_c, n) for n in ("vexlode_real", "vexlode_other", "vexlode_temp"))
        go = os.path.join(drive_c, "vexlode-go.txt")
        original = harness.get_temp()
        self.assertIsNotNone(original)
        archive_size = os.path.getsize(self.installer) - os.path.getsize(harness.STUB)

        def own(pattern):
            found = [n for n in os.listdir(real) if re.fullmatch(pattern, n)]
            return found[0] if found else None

        def copying():
            name = own(r"vexlode_\d+_\d+_\d+\.zip")
            size = os.path.getsize(os.path.join(real, name)) if name else 0
            return name[:-4] if 0 < size < archive_size else None

        def extracting():
            name = own(r"vexlode_\d+_\d+_\d+")
            big = os.path.join(real, name or "-", "big.bin")
            if name and os.path.exists(os.path.join(real, name, "setup.exe")) and (
                    not os.path.exists(big) or os.path.getsize(big) < 64 << 20):
                return name
            return None

        def running():
            return own(r"vexlode_\d+_\d+_\d+") if os.path.exists(harness.RECORD_PATH) else None

        harness.set_temp("C:\\vexlode_temp")
        try:
            for mode, when in (("running", running), ("copying", copying), ("extracting", extracting)):
                with self.subTest(mode):
                    self.setUp()
                    for path in (real, other, go):
                        subprocess.run(["rm", "-rf", path], check=True)
                    os.makedirs(real)
                    os.makedirs(other)
                    if os.path.lexists(link):
                        os.remove(link)
                    os.symlink(real, link)
                    installer = subprocess.Popen(
                        [harness.WINE, self.installer], cwd=self.work, stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL,
                        env=harness.wine_env(VEXLODE_RECORD=harness.RECORD_WINDOWS_PATH,
                                             VEXLODE_RECORD_WAIT="C:\\vexlode-go.txt"))
                    name = None
                    while name is None and installer.poll() is None:
                        name = when()
                        time.sleep(0.002)
                    self.assertIsNotNone(name, "the run ended before it could be caught " + mode)
                    # Another folder of the same name, two files and a subfolder in it.
                    theirs = os.path.join(other, name)
                    os.makedirs(os.path.join(theirs, "sub"))
                    for item in ("a.txt", "b.txt", "sub/c.txt"):
                        with open(os.path.join(theirs, item), "w") as f:
                            f.write("theirs " + item)
                    before = snapshot(other)
                    os.symlink(other, link + ".new")
                    os.replace(link + ".new", link)
                    open(go, "w").close()
                    self.assertEqual(installer.wait(timeout=300), 1)
                    self.assertEqual(snapshot(other), before, "the other folder was changed")
                    self.assertEqual(os.listdir(real), [], "the run's own files stay")
                    record = harness.read_record()
                    if record is not None:
                        self.assertEqual(record["self"].lower(),
                                         ("C:\\vexlode_real\\%s\\setup.exe" % name).lower())
        finally:
            harness.set_temp(original)
            for path in (real, other, link, go):
                subprocess.run(["rm", "-rf", path], check=False)

    def test_nobody_else_can_open_the_runs_objects_for_deletion(self):
        # Renaming opens for deletion first: what cannot be opened so cannot
        # be renamed either. Only the emptied folder, after the installer has
        # ended, may be opened in the moment its removal takes.
        package = os.path.join(self.work, "small.zip")
        harness.make_zip(package, {"setup.exe": harness.recorder_bytes(), "data/a.bin": b"a" * 4096})
        exe = harness.pack(package, os.path.join(self.work, "small.exe"))
        for attempt in range(3):
            with self.subTest(attempt):
                self.setUp()
                run, report = self.run_attacked("grab", installer=exe)
                self.assertEqual(run.exit_code, 1)
                self.assertIsNotNone(harness.read_record())
                targets = [line.split("\t")[1] for line in report if line.startswith("target\t")]
                self.assertEqual(len(targets), 2, report)
                for line in report:
                    if line.startswith("grabbed\t"):
                        _, name, entries = line.split("\t")
                        self.assertFalse(name.endswith(".zip"), "the archive was opened for deletion")
                        self.assertEqual(entries, "0", "the folder was opened for deletion while it held "
                                         "%s entries" % entries)
                self.assertEqual(harness.leftovers(), [])

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
