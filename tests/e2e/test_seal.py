"""The payload that runs is the payload that was packed: a sealed installer
refuses an archive that differs from the one sealed into its image, however
the difference came about, and a signature added after packing is the one
thing allowed after the archive; a plainly concatenated installer works as
before."""
import os
import re
import shutil
import subprocess
import unittest

import harness

SWAPPER = os.path.join(harness.WIN_BUILD, "attacker", "image_swap.exe")
REFUSED = re.compile(r"\[ERR\]\[setup   \]:payload of \[(.+)\] does not match its seal: (.+); nothing started$")


class SealTest(harness.WorkTest):
    def package(self, name, marker, extra=0):
        return harness.make_zip(self.path(name), {
            "setup.exe": harness.recorder_bytes(),
            "data/blob.bin": harness.random_bytes(200000, 5),
            marker: b"which package this is" + b"!" * extra,
        })

    def run_exe(self, exe):
        harness.clean_slate()
        return self.run_recorded(exe)

    def assert_refused(self, run, exe, reason, what):
        self.assertEqual(run.exit_code, 0, what + "\n" + run.stderr[-2000:])
        errors = [m for m in map(REFUSED.search, harness.read_log()) if m]
        self.assertEqual(len(errors), 1, (what, harness.read_log()))
        self.assertTrue(errors[0].group(1).lower().endswith(os.path.basename(exe).lower()), what)
        self.assertEqual(errors[0].group(2), reason, what)
        self.assertFalse([l for l in run.debugger_lines() if "UnZip(" in l], what)
        self.assertIsNone(harness.read_record(), what)
        self.assertEqual(harness.leftovers(), [], what)

    def unaligned_sealed(self, name):
        """A sealed installer whose size is not a multiple of 8, so that signing pads it."""
        for extra in range(8):
            package = self.package("package.zip", "ours.txt", extra)
            sealed = harness.pack(package, self.path(name))
            if os.path.getsize(sealed) % 8:
                return package, sealed
        self.fail("no package size left the installer unaligned")

    def test_the_check_and_the_stub_reach_the_same_verdict(self):
        package, sealed = self.unaligned_sealed("sealed.exe")
        cert, key = harness.make_certificate(self.work)
        signed = harness.sign(sealed, self.path("signed.exe"), cert, key)
        with open(sealed, "rb") as f:
            good = f.read()
        with open(signed, "rb") as f:
            good_signed = f.read()
        start = len(good) - os.path.getsize(package)
        record = harness.seal_record_offset(sealed)

        def changed(content, at, value=None):
            out = bytearray(content)
            out[at] = out[at] ^ 0x01 if value is None else value
            return bytes(out)

        central = good.rindex(b"data/blob.bin")  # the central directory's copy: no CRC covers it
        rows = [
            ("entry data changed", changed(good, start + 200), "the archive was changed"),
            ("central name changed", changed(good, central), "the archive was changed"),
            ("archive cut short", good[:-1], "the archive is cut short"),
            ("bytes appended", good + b"\0" * 8, "bytes follow the archive"),
            ("padding before the signature not zeros", changed(good_signed, len(good), 1),
             "bytes follow the archive"),
            ("seal record damaged", changed(good, record + 8, 2), "the seal record is damaged"),
            ("intact", good, None),
            ("signed intact", good_signed, None),
        ]
        for what, content, reason in rows:
            exe = self.path(what.replace(" ", "_") + ".exe")
            with open(exe, "wb") as f:
                f.write(content)
            status, facts = harness.check(exe)
            run = self.run_exe(exe)
            if reason:
                self.assert_refused(run, exe, reason, what)
                self.assertEqual((status, facts.get("seal")), (1, reason), (what, facts))
                self.assertEqual(facts.get("result"), "does not install: " + reason, what)
            else:
                self.assertIn("ours.txt", self.assert_installed(run, what)["files"], what)
                self.assertEqual((status, facts.get("result")), (0, "installs"), (what, facts))
                self.assertTrue(facts.get("seal", "").startswith("sealed, intact"), (what, facts))

        plain = harness.concatenate(package, self.path("plain.exe"))
        self.assertIn("ours.txt", self.assert_installed(self.run_exe(plain), "concatenated")["files"])
        status, facts = harness.check(plain)
        self.assertEqual((status, facts.get("seal")),
                         (0, "empty: not sealed, the stub takes whatever archive the file holds"))

    def test_signed_installers_install_and_swapped_ones_run_nothing(self):
        cert, key = harness.make_certificate(self.work)
        other = harness.pack(self.package("other.zip", "theirs.txt"), self.path("other.exe"))
        # The signing tool pads to 8 bytes before the signature: the packed
        # file is made to need those zeros.
        _, ours = self.unaligned_sealed("unsigned.exe")
        signed = harness.sign(ours, self.path("signed.exe"), cert, key)
        verify = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, signed],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.assertIn("Number of verified signatures: 1", verify.stdout)
        self.assertEqual(verify.returncode, 0, verify.stdout)

        seen = [self.assert_installed(self.run_exe(exe), exe)["files"] for exe in (ours, signed, other)]
        self.assertEqual(seen[0], seen[1])
        self.assertIn("theirs.txt", seen[2])  # the premise: the other installer runs its own setup.exe

        # Started, suspended, its file renamed aside and another installer put
        # at its path: nothing of the other package runs.
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
            self.assert_refused(harness.Run(done), exe, "the archive was changed", what)
            os.remove(exe)
            os.remove(exe + ".aside")


if __name__ == "__main__":
    unittest.main()
