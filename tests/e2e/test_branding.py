"""A branded installer: what Windows reads from it, that it installs like an
unbranded one, signed too, and that the Windows packer writes the same bytes."""
import os
import struct
import subprocess
import unittest

import harness

PROBE = os.path.join(harness.WIN_BUILD, "probe", "resource_probe.exe")
WINDOWS_PACKER = os.path.join(harness.WIN_BUILD, "vexlode-pack.exe")
STUB32 = os.path.join(harness.ROOT, "build", "win32", "vexlode.exe")

STRINGS = {
    "FileDescription": "Stellar Setup",
    "ProductName": "星河 安装程序",
    "CompanyName": "Acme Ltd.",
    "LegalCopyright": "© 2026 Acme",
    "OriginalFilename": "stellar-setup.exe",
    "InternalName": "stellar",
}


def make_ico(path, sizes):
    """An .ico file with one stand-in PNG per size (256 stored as 0)."""
    header = struct.pack("<HHH", 0, 1, len(sizes))
    images, offset = b"", 6 + 16 * len(sizes)
    for i, size in enumerate(sizes):
        image = b"\x89PNG\r\n\x1a\n" + bytes([65 + i]) * (64 + 32 * i)
        header += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset + len(images))
        images += image
    with open(path, "wb") as f:
        f.write(header + images)


def branding_options(icon):
    options = ["--icon", icon, "--file-version", "1.2.3.4", "--product-version", "5.6"]
    for key, value in STRINGS.items():
        options += ["--version-string", f"{key}={value}"]
    return options


class BrandingTest(harness.WorkTest):
    def setUp(self):
        super().setUp()
        make_ico(self.path("app.ico"), [16, 32, 48, 256])
        harness.make_zip(self.path("package.zip"), {
            "setup.exe": harness.recorder_bytes(),
            "data/blob.bin": harness.random_bytes(200000, 5),
            "readme.txt": b"branded package",
        })

    def pack(self, out, *options):
        subprocess.run([harness.PACKER, "--allow-x64", "--stub", harness.STUB, self.path("package.zip"),
                        "-o", out, *options], check=True, stdout=subprocess.DEVNULL)
        return out

    def probe(self, exe):
        keys = list(STRINGS) + ["FileVersion", "ProductVersion"]
        run = subprocess.run([harness.WINE, PROBE, exe, *keys], env=harness.wine_env(WINEDEBUG="-all"),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120, check=True)
        return dict(line.split("=", 1) for line in run.stdout.decode("utf-8").splitlines() if "=" in line)

    def install(self, exe):
        harness.clean_slate()
        record = self.assert_installed(self.run_recorded(exe), exe)
        return {name: (seen["crc"], seen["size"]) for name, seen in record["files"].items()}

    def test_windows_reads_the_branding_and_the_installer_installs_signed_or_not(self):
        plain = self.pack(self.path("plain.exe"))
        branded = self.pack(self.path("branded.exe"), *branding_options(self.path("app.ico")))

        seen = self.probe(branded)
        for key, value in STRINGS.items():
            self.assertEqual(seen.get(key), value, key)
        self.assertEqual(seen.get("FileVersion"), "1.2.3.4")
        self.assertEqual(seen.get("ProductVersion"), "5.6")
        self.assertEqual(seen.get("#FileVersion"), "1.2.3.4")
        self.assertEqual(seen.get("#ProductVersion"), "5.6.0.0")
        self.assertEqual(seen.get("translation"), "040904b0")
        self.assertEqual(seen.get("icons"), "16x16,32x32,48x48,256x256")
        self.assertEqual(seen.get("administrator"), "yes")
        self.assertEqual(self.probe(plain).get("version"), "none")

        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                        "-keyout", self.path("key.pem"), "-out", self.path("cert.pem"),
                        "-days", "2", "-subj", "/CN=vexlode test publisher"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        signed = self.path("signed.exe")
        subprocess.run(["osslsigncode", "sign", "-certs", self.path("cert.pem"), "-key", self.path("key.pem"),
                        "-n", "vexlode test", "-h", "sha256", "-in", branded, "-out", signed],
                       check=True, stdout=subprocess.DEVNULL)
        verify = subprocess.run(["osslsigncode", "verify", "-CAfile", self.path("cert.pem"), signed],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.assertEqual(verify.returncode, 0, verify.stdout)
        self.assertIn("Number of verified signatures: 1", verify.stdout)
        self.assertEqual(self.probe(signed).get("ProductName"), STRINGS["ProductName"])

        expected = self.install(plain)
        self.assertEqual(self.install(branded), expected)
        self.assertEqual(self.install(signed), expected)

    def test_windows_packer_writes_the_same_bytes_as_the_native_one(self):
        if not os.path.exists(WINDOWS_PACKER):
            self.skipTest("no Windows packer built")
        tree = self.path("tree")
        os.makedirs(os.path.join(tree, "数据"))
        for name, data in (("setup.exe", b"MZ stand-in"), ("数据/文件.txt", b"text" * 500), ("a.txt", b"alpha")):
            with open(os.path.join(tree, name), "wb") as f:
                f.write(data)
        os.chmod(os.path.join(tree, "a.txt"), 0o444)
        packages = ((tree, "deflate"), (tree, "lzma"), (self.path("package.zip"), "deflate"))
        outputs = {}
        for packer, out in (([harness.PACKER], "native.exe"), ([harness.WINE, WINDOWS_PACKER], "windows.exe")):
            for package, compression in packages:
                target = self.path(os.path.basename(package) + "-" + compression + "-" + out)
                subprocess.run([*packer, "--stub", STUB32, package, "-o", target, "--compression", compression,
                                *branding_options(self.path("app.ico"))],
                               check=True, env=harness.wine_env(WINEDEBUG="-all"), stdout=subprocess.DEVNULL)
                with open(target, "rb") as f:
                    outputs.setdefault((package, compression), []).append(f.read())
        for (package, compression), (native, windows) in outputs.items():
            self.assertEqual(native, windows, (package, compression))
        self.assertNotEqual(outputs[(tree, "deflate")][0], outputs[(tree, "lzma")][0])


if __name__ == "__main__":
    unittest.main()
