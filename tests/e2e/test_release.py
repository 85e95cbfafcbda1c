"""The release a publisher downloads, unpacked away from this tree: its own
packer and stub pack the example package, its check passes it, and the
installer runs."""
import os
import shutil
import subprocess
import unittest

import harness

RELEASE = os.path.join(harness.ROOT, "scripts", "release")
EXAMPLE_SETUP = os.path.join(harness.WIN_BUILD, "example", "setup.exe")
EXAMPLE_REPORT = os.path.join(harness.PREFIX, "drive_c", "vexlode-example-report.txt")


class ReleaseTest(harness.WorkTest):
    def test_the_unpacked_release_packs_checks_and_installs_on_its_own(self):
        with open(os.path.join(harness.ROOT, "VERSION")) as f:
            version = f.readline().strip()
        subprocess.run(["bash", RELEASE, "--built", "--out", self.path("dist")], check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run(["unzip", "-q", self.path("dist/vexlode-%s.zip" % version), "-d", self.path("unpacked")],
                       check=True)
        release = self.path("unpacked/vexlode-" + version)
        self.assertEqual(sorted(os.listdir(release)),
                         ["PUBLISHING.md", "SHA256SUMS", "vexlode-pack", "vexlode-pack.exe", "vexlode.exe"])
        sums = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=release, stdout=subprocess.PIPE, text=True)
        self.assertEqual(sums.returncode, 0, sums.stdout)
        with open(os.path.join(release, "SHA256SUMS")) as f:
            digests = {name: digest for digest, name in (line.split() for line in f)}

        packer = os.path.join(release, "vexlode-pack")
        shown = subprocess.run([packer, "--version"], stdout=subprocess.PIPE, text=True, check=True).stdout
        self.assertEqual(shown.splitlines(), ["vexlode-pack " + version,
                                              "default stub: " + os.path.join(release, "vexlode.exe"),
                                              "default stub sha256: " + digests["vexlode.exe"]])

        package = self.path("package")
        shutil.copytree(os.path.join(harness.ROOT, "examples", "package"), package)
        shutil.copyfile(EXAMPLE_SETUP, os.path.join(package, "setup.exe"))
        # The release's own stub, taken by its packer without being named.
        shipped = self.path("example-installer.exe")
        subprocess.run([packer, package, "-o", shipped, "--exit-code", "installer"], check=True,
                       stdout=subprocess.DEVNULL)
        status, facts = harness.check(shipped, packer)
        self.assertEqual((status, facts["result"]), (0, "installs"), facts)
        self.assertTrue(facts["stub"].startswith("vexlode, 32-bit"), facts)
        self.assertTrue(facts["stub sha256"].startswith(digests["vexlode.exe"] + " "), facts)
        self.assertEqual(facts["package setup.exe"], "at the root")

        # Where this machine runs only 64-bit programs, the release's packer
        # packs the same package with the x86_64 build of the stub to run it.
        runnable = shipped
        if harness.X64:
            runnable = self.path("example-installer-x64.exe")
            subprocess.run([packer, "--allow-x64", "--stub", harness.STUB, package, "-o", runnable,
                            "--exit-code", "installer"], check=True, stdout=subprocess.DEVNULL)
            self.assertEqual(harness.check(runnable, packer)[0], 0)
        if os.path.exists(EXAMPLE_REPORT):
            os.remove(EXAMPLE_REPORT)
        run = harness.run_installer(runnable, cwd=self.work)
        self.assertEqual(run.exit_code, 0, run.stderr[-2000:])  # setup.exe's own code
        with open(EXAMPLE_REPORT, encoding="utf-8") as f:
            self.assertIn("readme.txt", f.read())
        self.assertEqual(harness.leftovers(), [])


if __name__ == "__main__":
    unittest.main()
