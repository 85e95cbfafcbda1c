"""Packages written with ZIP64 records install whole."""
import os
import unittest
import zipfile
import zlib

import harness

CHUNK = 16 << 20
# Just past 4 GiB, so that neither size nor write offsets fit 32 bits.
BIG = (4 << 30) + 12345


def zeros_crc(size):
    crc, block = 0, bytes(CHUNK)
    while size > 0:
        n = min(size, CHUNK)
        crc = zlib.crc32(block[:n] if n < CHUNK else block, crc)
        size -= n
    return "%08x" % crc


def big_package(path, compression=zipfile.ZIP_DEFLATED):
    """setup.exe and one entry of BIG zeros (a few MiB packed): deflated, or
    with LZMA, whose 8 MiB dictionary makes the decoder's window wrap."""
    block = bytes(CHUNK)
    with zipfile.ZipFile(path, "w", compression) as archive:
        archive.writestr("setup.exe", harness.recorder_bytes())
        with archive.open("big.bin", "w", force_zip64=True) as f:
            left = BIG
            while left > 0:
                n = min(left, CHUNK)
                f.write(block[:n] if n < CHUNK else block)
                left -= n


class Zip64Test(harness.WorkTest):
    def install(self, package):
        record = self.assert_installed(self.run_recorded(harness.pack(package, self.path("installer.exe"))))
        self.assertEqual([l for l in harness.read_log() if "[ERR]" in l], [])
        return record

    def test_every_local_header_with_zip64_sizes(self):
        # As Python's zipfile writes them when told to: 0xFFFFFFFF in each
        # local header, the real sizes in its ZIP64 block.
        package = os.path.join(self.work, "package.zip")
        members = {"setup.exe": harness.recorder_bytes(), "docs/readme.txt": b"read me" * 100}
        with zipfile.ZipFile(package, "w", zipfile.ZIP_DEFLATED) as archive:
            for name, data in members.items():
                with archive.open(name, "w", force_zip64=True) as f:
                    f.write(data)
        record = self.install(package)
        for name, data in members.items():
            self.assertEqual(record["files"][name]["size"], len(data), name)
            self.assertEqual(record["files"][name]["crc"], "%08x" % zlib.crc32(data), name)

    @unittest.skipUnless(os.environ.get("VEXLODE_BIG"), "over 4 GiB: run by scripts/bench "
                         "(VEXLODE_BIG=1); it takes minutes under Wine")
    def test_entry_over_4_gib(self):
        for compression in (zipfile.ZIP_DEFLATED, zipfile.ZIP_LZMA):
            with self.subTest(compression):
                harness.clean_slate()
                package = os.path.join(self.work, "package.zip")
                big_package(package, compression)
                record = self.install(package)
                self.assertEqual(record["files"]["big.bin"]["size"], BIG)
                self.assertEqual(record["files"]["big.bin"]["crc"], zeros_crc(BIG))


if __name__ == "__main__":
    unittest.main()
