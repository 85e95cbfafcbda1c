"""The bootstrapper checks its appended archive out into the temporary directory."""
import os
import shutil
import unittest
import zlib

import harness


class CheckoutTest(harness.WorkTest):
    def test_payload_is_checked_out_byte_for_byte(self):
        # setup.exe records the temporary archive while it still exists.
        package = os.path.join(self.work, "package.zip")
        harness.make_zip(package, {"setup.exe": harness.recorder_bytes(),
                                   "big.bin": harness.random_bytes(6 * 1024 * 1024, 7)})
        exe = harness.pack(package, os.path.join(self.work, "installer.exe"))
        # Two runs of the same installer: a generator that is never seeded
        # would draw the same temporary name both times.
        with open(package, "rb") as original:
            data = original.read()
        names = []
        for _ in range(2):
            run = harness.run_installer(exe, VEXLODE_RECORD=harness.RECORD_WINDOWS_PATH)
            self.assertEqual(run.exit_code, 1, run.stderr[-2000:])
            ticks = [l for l in run.debugger_lines() if "check out file uses:" in l]
            self.assertEqual(len(ticks), 1, run.debugger_lines())
            self.assertRegex(ticks[0], r"^\[\s*\d+\]\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{3}: \[\s*\d+\]"
                                       r"\[DBG\]\[setup\]:check out file uses:\d+ tick\.$")
            record = harness.read_record()
            self.assertIsNotNone(record, run.debugger_lines())
            self.assertRegex(record["archive"]["path"], r"\\vexlode_\d+_\d+_\d+\.zip$")
            self.assertEqual(record["archive"]["size"], len(data))
            self.assertEqual(record["archive"]["crc"], "%08x" % (zlib.crc32(data) & 0xFFFFFFFF))
            self.assertEqual(harness.leftovers(), [])
            names.append(record["archive"]["path"])
            harness.clean_slate()
        self.assertNotEqual(names[0], names[1])

    def test_a_module_path_too_long_for_its_buffer_is_not_opened(self):
        # Cut to fit the buffer the path would name some other file (here a
        # decoy installer that runs: Windows cuts to 259 characters, Wine to
        # 260); the run must stop before opening it.
        package = os.path.join(self.work, "package.zip")
        harness.make_zip(package, {"setup.exe": harness.recorder_bytes()})
        folder = self.work
        while len(harness.windows_path(folder)) < 200:
            folder = os.path.join(folder, "d" * 40)
        folder = os.path.join(folder, "e" * (244 - len(harness.windows_path(folder))))
        os.makedirs(folder)  # 245 characters: the cut falls inside the file name
        exe = os.path.join(folder, "installer-with-a-long-name.exe")
        # Packed for deployment tools, even this run exits with the failure
        # code. No launcher starts a path this long, so Wine's low byte of the
        # exit code is all there is to see (1603 is 0x643).
        for options, want in (([], 0), (["--exit-code", "installer"], 1603 & 0xFF)):
            harness.clean_slate()
            harness.pack(package, exe, *options)
            for cut in (259, 260):
                name = harness.windows_path(exe)[len(harness.windows_path(folder)) + 1:cut]
                shutil.copyfile(exe, os.path.join(folder, name))
            run = harness.run_installer(exe, VEXLODE_RECORD=harness.RECORD_WINDOWS_PATH)
            self.assertEqual(run.exit_code, want, run.stderr[-2000:])
            errors = [l for l in harness.read_log() if "[ERR]" in l]
            self.assertEqual(len(errors), 1, harness.read_log())
            self.assertIn("打开文件[", errors[0])
            self.assertIsNone(harness.read_record())
            self.assertEqual(harness.leftovers(), [])

if __name__ == "__main__":
    unittest.main()
