"""The bootstrapper checks its appended archive out into the temporary directory."""
import os
import shutil
import tempfile
import unittest

import harness


class CheckoutTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="vexlode_e2e_")
        for name in harness.leftovers():
            path = os.path.join(harness.temp_dir(), name)
            shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def test_payload_is_checked_out_byte_for_byte(self):
        package = os.path.join(self.work, "package.zip")
        harness.make_zip(package, {"setup.exe": b"MZ stand-in",
                                   "big.bin": harness.random_bytes(6 * 1024 * 1024, 7)})
        exe = harness.pack(package, os.path.join(self.work, "installer.exe"))
        run = harness.run_installer(exe)
        self.assertEqual(run.exit_code, 1, run.stderr[-2000:])
        ticks = [l for l in run.debugger_lines() if "check out file uses:" in l]
        self.assertEqual(len(ticks), 1, run.debugger_lines())
        self.assertRegex(ticks[0], r"^\[\s*\d+\]\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{3}: \[\s*\d+\]"
                                   r"\[DBG\]\[setup\]:check out file uses:\d+ tick\.$")
        archives = [n for n in harness.leftovers() if n.endswith(".zip")]
        self.assertEqual(len(archives), 1, harness.leftovers())
        self.assertRegex(archives[0], r"^vexlode_\d+_\d+_\d+\.zip$")
        with open(os.path.join(harness.temp_dir(), archives[0]), "rb") as copied, \
                open(package, "rb") as original:
            self.assertTrue(copied.read() == original.read())


if __name__ == "__main__":
    unittest.main()
