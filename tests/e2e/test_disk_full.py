"""Runs whose temporary directory sits on a small, filling filesystem: a
tmpfs mounted here (as root) and mapped as a Wine drive."""
import os
import re
import subprocess
import tempfile
import unittest
import zipfile

import harness

DRIVE = "t:"
ERR = re.compile(r"\[ERR\]\[setup   \]:(.*)$")


class DiskFullTest(harness.WorkTest):
    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("mounting a tmpfs needs root")
        cls.original_temp = harness.get_temp()
        if not cls.original_temp:
            raise unittest.SkipTest("no TEMP in the prefix's registry to put back afterwards")
        cls.mount = tempfile.mkdtemp(prefix="vexlode_tmpfs_")
        # Each test sizes it for itself by remounting.
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", cls.mount],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if done.returncode != 0:
            os.rmdir(cls.mount)
            raise unittest.SkipTest("cannot mount a tmpfs: " + done.stdout.decode(errors="replace"))
        cls.link = os.path.join(harness.PREFIX, "dosdevices", DRIVE)
        if os.path.lexists(cls.link):
            os.remove(cls.link)
        os.symlink(cls.mount, cls.link)
        harness.set_temp(DRIVE.upper() + "\\")

    @classmethod
    def tearDownClass(cls):
        harness.set_temp(cls.original_temp)
        os.remove(cls.link)
        subprocess.run(["umount", cls.mount], check=False)
        os.rmdir(cls.mount)

    def tearDown(self):
        super().tearDown()
        for name in os.listdir(self.mount):
            subprocess.run(["rm", "-rf", os.path.join(self.mount, name)], check=False)

    def resize(self, size):
        subprocess.run(["mount", "-o", "remount,size=%s" % size, self.mount], check=True)

    def install(self, members, make=harness.pack):
        package = os.path.join(self.work, "package.zip")
        with zipfile.ZipFile(package, "w", zipfile.ZIP_DEFLATED) as archive:
            archive.writestr("setup.exe", harness.recorder_bytes())
            for name, data in members:
                archive.writestr(name, data)
        exe = make(package, os.path.join(self.work, "installer.exe"))
        run = harness.run_installer(exe, cwd=self.work, VEXLODE_RECORD=harness.RECORD_WINDOWS_PATH)
        return os.path.getsize(package), run

    def err_lines(self):
        return [m.group(1) for m in map(ERR.search, harness.read_log()) if m]

    def test_check_out_that_cannot_finish(self):
        self.resize("1m")
        # A sealed installer stops at once: what was copied cannot be
        # checked. A concatenated one goes on as it always did: the short
        # archive cannot be extracted and setup.exe cannot start.
        for make, exit_code, goes_on in ((harness.pack, 0, False), (harness.concatenate, 1, True)):
            harness.clean_slate()
            size, run = self.install([("payload.bin", harness.random_bytes(3 << 20, 11))], make)
            self.assertEqual(run.exit_code, exit_code, run.stderr[-2000:])
            errors = self.err_lines()
            self.assertEqual(len(errors), 1, run.evidence())
            match = re.fullmatch(r"复制文件失败了,file:\[T:\\vexlode_\d+_\d+_\d+\.zip\];"
                                 r"copied:\[(\d+)/(\d+)\],err:\[(.+)\]", errors[0])
            self.assertIsNotNone(match, errors[0])
            copied, expected = int(match.group(1)), int(match.group(2))
            self.assertEqual(expected, size)
            self.assertLess(copied, expected)
            self.assertLessEqual(copied, 1 << 20)
            self.assertEqual(any("执行进程失败了" in l for l in harness.read_log()), goes_on)
            self.assertEqual(any("UnZip(" in l for l in run.debugger_lines()), goes_on)
            self.assertIsNone(harness.read_record())
            self.assertEqual(os.listdir(self.mount), [])

    def test_extraction_that_cannot_finish(self):
        # The archive fits, its thirty 1 MiB entries of zeros do not: every
        # entry from the first that meets the full disk fails.
        self.resize("4m")
        parts = [("data/part%02d.bin" % n, bytes(1 << 20)) for n in range(30)]
        size, run = self.install(parts)
        self.assertEqual(run.exit_code, 1, run.stderr[-2000:])
        errors = self.err_lines()
        self.assertEqual(len(errors), 21, run.evidence())
        entries = [re.fullmatch(r"entry (\d+) \[data/part(\d\d)\.bin\] failed: 0x400", e) for e in errors[:20]]
        self.assertTrue(all(entries), errors)
        indices = [int(m.group(1)) for m in entries]
        self.assertEqual([int(m.group(2)) + 1 for m in entries], indices)
        self.assertEqual(indices, list(range(indices[0], indices[0] + 20)))
        rest = re.fullmatch(r"(\d+) more failed entries not listed", errors[20])
        self.assertIsNotNone(rest, errors[20])
        # Every entry from the first failure to the last failed.
        self.assertEqual(indices[0] + 20 + int(rest.group(1)), 31)
        # setup.exe, the first entry, still ran on the incomplete tree.
        record = harness.read_record()
        self.assertIsNotNone(record)
        unzip = [l for l in run.debugger_lines() if "]:UnZip(" in l]
        self.assertTrue(unzip and re.search(r",0\) uses:\d+$", unzip[0]), unzip)
        self.assertEqual(os.listdir(self.mount), [])


if __name__ == "__main__":
    unittest.main()
