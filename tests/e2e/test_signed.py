"""A packed (and so sealed) installer signed with Authenticode still installs as an
unsigned one does."""
import os
import shutil
import subprocess
import tempfile
import unittest

import harness


class SignedInstallerTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="vexlode_sign_")
        harness.clean_slate()

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.work, name)

    def test_signature_verifies_and_the_installer_still_installs(self):
        cert, key = harness.make_certificate(self.work)
        # The signing tool pads to 8 bytes before the signature: the sealed
        # stub must take those zeros for what they are, so the packed file
        # is made to need them.
        for extra in range(8):
            harness.make_zip(self.path("package.zip"), {
                "setup.exe": harness.recorder_bytes(),
                "data/blob.bin": harness.random_bytes(300000, 11),
                "readme.txt": b"signed package" + b"!" * extra,
            })
            unsigned = harness.pack(self.path("package.zip"), self.path("unsigned.exe"))
            if os.path.getsize(unsigned) % 8:
                break
        self.assertNotEqual(os.path.getsize(unsigned) % 8, 0)
        signed = harness.sign(unsigned, self.path("signed.exe"), cert, key)
        verify = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, signed],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.assertEqual(verify.returncode, 0, verify.stdout)
        self.assertIn("Number of verified signatures: 1", verify.stdout)

        records = []
        for exe in (unsigned, signed):
            harness.clean_slate()
            run = harness.run_installer(exe, cwd=self.work, VEXLODE_RECORD=harness.RECORD_WINDOWS_PATH)
            self.assertEqual(run.exit_code, 1, run.stderr[-2000:])
            self.assertTrue(any(",1) uses:" in l for l in run.debugger_lines()), run.debugger_lines())
            record = harness.read_record()
            self.assertIsNotNone(record)
            records.append(record)
            self.assertEqual(harness.leftovers(), [])
        self.assertEqual(records[0]["files"].keys(), records[1]["files"].keys())
        for name, seen in records[0]["files"].items():
            self.assertEqual(seen["crc"], records[1]["files"][name]["crc"], name)
            self.assertEqual(seen["size"], records[1]["files"][name]["size"], name)


if __name__ == "__main__":
    unittest.main()
