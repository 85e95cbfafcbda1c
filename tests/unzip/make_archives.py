#!/usr/bin/env python3
"""Writes the unzip tests' ZIP archives into the directory given as argument.

Most archives are built byte by byte here, so that headers can disagree,
data can stop early and entries can be encrypted (traditional PKWARE, empty
password), which no archiver produces on request. One archive comes from
Info-ZIP's zip, for its real extended-timestamp blocks.
"""
import io
import lzma
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

# 2017-01-01 12:30:30 as MS-DOS date and time.
DOS_DATE, DOS_TIME = 0x4A21, 0x63CF

HOST_DOS, HOST_UNIX, HOST_NTFS = 0, 3, 11
UNIX_FILE_RW = 0x81A40000  # -rw-r--r--
UNIX_FILE_RO = 0x81240000  # -r--r--r--
UNIX_DIR = 0x41ED0000      # drwxr-xr-x


def _crc_table():
    table = []
    for n in range(256):
        c = n
        for _ in range(8):
            c = (c >> 1) ^ 0xEDB88320 if c & 1 else c >> 1
        table.append(c)
    return table


CRC_TABLE = _crc_table()


class _Keys:
    """Traditional PKWARE encryption keys, set up with the empty password."""

    def __init__(self):
        self.k0, self.k1, self.k2 = 0x12345678, 0x23456789, 0x34567890

    def _update(self, byte):
        self.k0 = (self.k0 >> 8) ^ CRC_TABLE[(self.k0 ^ byte) & 0xFF]
        self.k1 = ((self.k1 + (self.k0 & 0xFF)) * 134775813 + 1) & 0xFFFFFFFF
        self.k2 = (self.k2 >> 8) ^ CRC_TABLE[(self.k2 ^ (self.k1 >> 24)) & 0xFF]

    def encrypt(self, plain):
        out = bytearray()
        for byte in plain:
            t = (self.k2 | 2) & 0xFFFF
            out.append(byte ^ (((t * (t ^ 1)) >> 8) & 0xFF))
            self._update(byte)
        return bytes(out)


def deflate(data):
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    return compressor.compress(data) + compressor.flush()


def lzma_data(data, dict_size=1 << 16, properties=None, properties_size=5, cut=None,
              trailing=b"", stream=None):
    """Method 14's data as Python's zipfile writes it: the coder's version,
    the properties' size, the properties, then a raw LZMA stream that ends in
    its end marker. `properties` and `stream` replace the encoder's, `cut`
    keeps only that many bytes, `trailing` follows the stream."""
    filters = [{"id": lzma.FILTER_LZMA1, "dict_size": dict_size}]
    if stream is None:
        compressor = lzma.LZMACompressor(lzma.FORMAT_RAW, filters=filters)
        stream = compressor.compress(data) + compressor.flush()
    if properties is None:
        properties = lzma._encode_filter_properties(filters[0])
    out = struct.pack("<BBH", 9, 4, properties_size) + properties + stream + trailing
    return out if cut is None else out[:cut]


def lzma_properties(lc=3, lp=0, pb=2, dictionary=1 << 16):
    return struct.pack("<BI", (pb * 5 + lp) * 9 + lc, dictionary)


def ut_block(flags, *times, size=None):
    body = bytes([flags]) + b"".join(struct.pack("<i", t) for t in times)
    return b"UT" + struct.pack("<H", len(body) if size is None else size) + body


class Entry:
    def __init__(self, name, data=b"", method=8, host=HOST_UNIX, external=None,
                 date=DOS_DATE, time=DOS_TIME, local_extra=b"", central_extra=b"",
                 descriptor=False, encrypt=False, check_byte=None, crc=None,
                 truncate=None, local=None, flags=0, zip64=None, lzma=None, size=None):
        self.name = name.encode("utf-8") if isinstance(name, str) else name
        self.data = data
        self.method = method
        self.host = host
        if external is None:
            is_dir = self.name.endswith(b"/")
            if host == HOST_UNIX:
                external = UNIX_DIR | 0x10 if is_dir else UNIX_FILE_RW
            else:
                external = 0x10 if is_dir else 0x20
        self.external = external
        self.date, self.time = date, time
        self.local_extra, self.central_extra = local_extra, central_extra
        self.descriptor = descriptor
        self.encrypt = encrypt
        self.check_byte = check_byte  # None: the right one for the entry
        self.crc = crc                # None: the data's CRC-32
        self.truncate = truncate      # keep only this many stored bytes
        self.local = local or {}      # local header fields to falsify
        self.flags = flags
        # Local sizes as 0xFFFFFFFF with a ZIP64 block in front of the local
        # extra field: True for the real sizes, or (uncompressed, compressed)
        # or raw block data to put there instead.
        self.zip64 = zip64
        # Method 14: lzma_data's options, and "marker_bit": False to leave
        # general-purpose bit 1 clear although the stream ends in a marker.
        self.lzma = dict(lzma or {})
        self.size = len(data) if size is None else size  # the declared size


def build(entries, prefix=b"", comment=b"", zip64_end=False):
    """The archive's bytes. `prefix` goes in front without shifting offsets,
    as when an archive is appended to a program. `zip64_end` puts the counts
    and the directory's place into ZIP64 end records only."""
    out = bytearray()
    central = bytearray()
    for e in entries:
        crc = zlib.crc32(e.data) if e.crc is None else e.crc
        options = dict(e.lzma)
        marker_bit = options.pop("marker_bit", True)
        payload = (deflate(e.data) if e.method == 8 else
                   lzma_data(e.data, **options) if e.method == 14 else e.data)
        if e.truncate is not None:
            payload = payload[:e.truncate]
        flags = e.flags
        if e.method == 14 and marker_bit:
            flags |= 0x2
        if e.descriptor:
            flags |= 0x8
        if any(b > 0x7F for b in e.name):
            flags |= 0x800
        if e.encrypt:
            flags |= 0x1
            right = (e.time >> 8) & 0xFF if e.descriptor else crc >> 24
            check = right if e.check_byte is None else e.check_byte
            header = bytes((n * 37 + 11) & 0xFF for n in range(11)) + bytes([check])
            payload = _Keys().encrypt(header + payload)
        fields = {
            "signature": 0x04034B50, "version": 20, "flags": flags, "method": e.method,
            "time": e.time, "date": e.date,
            "crc": 0 if e.descriptor else crc,
            "compressed": 0 if e.descriptor else len(payload),
            "uncompressed": 0 if e.descriptor else e.size,
            "name_length": len(e.name), "extra_length": len(e.local_extra),
        }
        local_extra = e.local_extra
        if e.zip64 is not None:
            sizes = e.zip64 if e.zip64 is not True else (e.size, len(payload))
            data = struct.pack("<QQ", *sizes) if isinstance(sizes, tuple) else sizes
            local_extra = struct.pack("<HH", 1, len(data)) + data + local_extra
            fields.update(compressed=0xFFFFFFFF, uncompressed=0xFFFFFFFF,
                          extra_length=len(local_extra))
        fields.update(e.local)
        offset = len(out)
        out += struct.pack("<IHHHHHIIIHH", *fields.values())
        out += e.name + local_extra + payload
        if e.descriptor:
            out += struct.pack("<IIII", 0x08074B50, crc, len(payload), e.size)
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, (e.host << 8) | 20, 20,
                               flags, e.method, e.time, e.date, crc, len(payload),
                               e.size, len(e.name), len(e.central_extra), 0, 0, 0,
                               e.external, offset)
        central += e.name + e.central_extra
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries),
                      len(central), len(out), len(comment))
    if zip64_end:
        record_at = len(out) + len(central)
        record = struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, len(entries),
                             len(entries), len(central), len(out))
        locator = struct.pack("<IIQI", 0x07064B50, 0, record_at, 1)
        end = record + locator + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF,
                                             0xFFFFFFFF, 0xFFFFFFFF, len(comment))
    return prefix + bytes(out) + bytes(central) + end + comment


def zip64_python():
    """What Python's zipfile writes when told to: every local header with
    0xFFFFFFFF sizes and a ZIP64 block, central records with plain sizes."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in (("a.txt", b"first"), ("b.txt", b"second"), ("c.txt", b"third")):
            with archive.open(name, "w", force_zip64=True) as f:
                f.write(data)
    return buffer.getvalue()


def lzma_python():
    """Python's zipfile mixing stored, DEFLATE and LZMA (its end marker
    announced in general-purpose bit 1) entries, an empty one among them."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_LZMA) as archive:
        archive.writestr("lzma.txt", text(50_000))
        archive.writestr("empty.txt", b"")
        archive.writestr("stored.txt", b"stored", compress_type=zipfile.ZIP_STORED)
        archive.writestr("deflated.txt", text(20_000, 3), compress_type=zipfile.ZIP_DEFLATED)
    return buffer.getvalue()


def text(n, seed=0):
    """n bytes of compressible, position-dependent text."""
    words = [b"alpha", b"beta", b"gamma", b"delta", b"epsilon", b"zeta", b"eta"]
    out = bytearray()
    i = seed
    while len(out) < n:
        out += words[(i * 7 + i // 5) % len(words)] + b" %d\n" % i
        i += 1
    return bytes(out[:n])


def three(middle, **middle_options):
    return [Entry("a.txt", b"first"), Entry("b.txt", middle, **middle_options),
            Entry("c.txt", b"third")]


def archives():
    big = text(100_000)
    secret = b"encrypted with the empty password\n" * 40
    a = {}
    a["setup_only"] = build([Entry("setup.exe", b"MZ" + text(5000))])
    a["links"] = build([
        Entry("sub/"),
        Entry("sub/inner.txt", b"inner"),
        Entry("sub/deeper/y.txt", b"y"),
        Entry("top.txt", b"top"),
        Entry("f.txt", b"archive content"),
    ])
    a["empty"] = build([])
    a["three"] = build(three(b"second"))
    # The middle entry's local header disagrees with its central record.
    a["bad_crc"] = build(three(b"second", local={"crc": 0x12345678}))
    a["bad_sizes"] = build(three(b"second", method=0, local={"uncompressed": 5}))
    a["bad_ffff_size"] = build(three(b"second", local={"compressed": 0xFFFFFFFF}))
    # ZIP64 blocks that do not back the 0xFFFFFFFF sizes: a size that
    # disagrees, a block too short for both, a block of another ID.
    a["bad_zip64_size"] = build(three(b"second", zip64=(6, 999)))
    a["bad_zip64_short"] = build(three(b"second", zip64=struct.pack("<Q", 6)))
    a["bad_zip64_id"] = build(three(b"second", local={"compressed": 0xFFFFFFFF,
                                                       "uncompressed": 0xFFFFFFFF},
                                    local_extra=struct.pack("<HHQQ", 0x9901, 16, 6,
                                                            len(deflate(b"second")))))
    a["bad_method"] = build(three(b"second", local={"method": 0}))
    a["bad_signature"] = build(three(b"second", local={"signature": 0x04034B51}))
    a["bad_name_length"] = build(three(b"second", local={"name_length": 4}))
    a["bzip2_method"] = build(three(b"second", method=12))
    # LZMA data that must fail its entry alone (the entry is created).
    long = text(3000, 7)
    # Empty: its stream (the end marker alone) decodes the same whatever lc and lp say.
    a["lzma_lc_lp"] = build(three(b"", method=14, lzma={"properties": lzma_properties(lc=4, lp=1)}))
    a["lzma_properties_size"] = build(three(long, method=14, lzma={"properties_size": 4}))
    a["lzma_cut_header"] = build(three(long, method=14, lzma={"cut": 7}))
    a["lzma_not_a_stream"] = build(three(long, method=14, lzma={"stream": b"\x01" + bytes(40)}))
    # Declared shorter than the stream (the CRC-32 is the prefix's, so only
    # the stream's end can tell), with and without the end marker announced.
    for name, marker_bit in (("lzma_runs_past", True), ("lzma_runs_past_no_bit", False)):
        a[name] = build(three(long, method=14, size=1000, crc=zlib.crc32(long[:1000]),
                              lzma={"marker_bit": marker_bit}))
    a["lzma_trailing"] = build(three(long, method=14, lzma={"trailing": b"\0" * 4}))
    # Bit 1 announces the end marker; the stream of no bytes at all has none.
    a["lzma_no_marker"] = build(three(b"", method=14, lzma={"stream": bytes(5)}))
    # 300 MiB declared with a 512 MiB dictionary: a window beyond the cap.
    a["lzma_over_cap"] = build(three(long, method=14, size=300 << 20,
                                     lzma={"properties": lzma_properties(dictionary=512 << 20)}))
    a["lzma_bad_crc"] = build(three(long, method=14, crc=0xDEADBEEF))
    a["unknown_method"] = build(three(b"second", method=99))
    # A damaged central record: entries from there on cannot be reached.
    good = build(three(b"second"))
    second_record = good.index(b"PK\x01\x02", good.index(b"PK\x01\x02") + 4)
    a["bad_central"] = good[:second_record] + b"XX" + good[second_record + 2:]
    # The end record's two entry counts differ.
    end = good.rindex(b"PK\x05\x06")
    a["bad_counts"] = good[:end + 8] + struct.pack("<H", 2) + good[end + 10:]
    a["not_a_zip"] = b"This is a plain text file, not an archive.\n" * 20
    a["junk_prefix"] = build(three(b"second"), prefix=b"#" * 100)
    a["zip64_python"] = zip64_python()
    a["zip64_local"] = build(three(b"second", zip64=True))
    a["zip64_end"] = build(three(b"second"), zip64_end=True)

    a["methods"] = build([
        Entry("stored.txt", b"stored content\n", method=0),
        Entry("deflated.txt", big, method=8),
        Entry("descriptor.txt", big[:30000], method=8, descriptor=True),
        Entry("descriptor_stored.txt", b"stored, sizes after the data\n", method=0,
              descriptor=True),
    ])
    a["truncated"] = build([
        Entry("whole.txt", b"complete"),
        Entry("cut_deflated.txt", big, truncate=len(deflate(big)) // 2),
        Entry("cut_stored.txt", big, method=0, truncate=40000),
        Entry("cut_lzma.txt", big, method=14, truncate=len(lzma_data(big)) // 2),
    ])
    a["lzma"] = build([
        Entry("marker.txt", big, method=14),
        # The marker is there although bit 1 does not announce it.
        Entry("unannounced.txt", big[:20000], method=14, lzma={"marker_bit": False}),
        # A 4 KiB dictionary: the window wraps many times.
        Entry("small_window.txt", big, method=14, lzma={"dict_size": 4096}),
        # A 4 GiB dictionary for 7 bytes: the window is the entry's size.
        Entry("huge_dictionary.txt", b"tiny\nxx", method=14,
              lzma={"properties": lzma_properties(dictionary=0xFFFFFFFF)}),
        Entry("empty.txt", b"", method=14),
        Entry("encrypted.txt", secret, method=14, encrypt=True),
        Entry("descriptor.txt", big[:30000], method=14, descriptor=True),
        Entry("zip64.txt", big[:5000], method=14, zip64=True),
    ])
    a["lzma_python"] = lzma_python()
    a["crc_mismatch"] = build([
        Entry("bad_crc.txt", b"content whose CRC-32 is recorded wrong\n", method=0,
              crc=0xDEADBEEF),
        Entry("bad_crc_deflated.txt", big, crc=0xDEADBEEF),
    ])
    a["encrypted"] = build([
        Entry("crc_rule.txt", secret, method=0, encrypt=True),
        Entry("time_rule.txt", secret, descriptor=True, encrypt=True),
        # The byte the other rule would want: right for neither entry.
        Entry("crc_rule_wrong.txt", secret, method=0, encrypt=True,
              check_byte=(DOS_TIME >> 8) & 0xFF),
        Entry("time_rule_wrong.txt", secret, descriptor=True, encrypt=True,
              check_byte=zlib.crc32(secret) >> 24),
        Entry("deflated.txt", secret, encrypt=True),
    ])
    assert (DOS_TIME >> 8) & 0xFF != zlib.crc32(secret) >> 24

    a["names_utf8"] = build([
        Entry("文档/说明.txt", "中文内容".encode("utf-8")),
        Entry("Ünïcödé.txt", b"latin"),
        Entry("日本語/ファイル.txt", b"kana"),
    ])
    a["attributes"] = build([
        Entry("unix_rw.txt", b"1", host=HOST_UNIX, external=UNIX_FILE_RW),
        Entry("unix_ro.txt", b"2", host=HOST_UNIX, external=UNIX_FILE_RO),
        Entry("unix_dir/", host=HOST_UNIX, external=UNIX_DIR),
        Entry("dos_all.txt", b"3", host=HOST_DOS, external=0x27),
        Entry("dos_hidden.txt", b"4", host=HOST_DOS, external=0x22),
        Entry("dos_plain.txt", b"5", host=HOST_DOS, external=0x00),
        Entry("dos_dir/", host=HOST_DOS, external=0x10),
        Entry("ntfs_ro.txt", b"6", host=HOST_NTFS, external=0x21),
    ])
    other_block = b"ux" + struct.pack("<H", 11) + bytes(11)
    a["times"] = build([
        Entry("plain.txt", b"p"),
        Entry("ut1.txt", b"1", local_extra=ut_block(1, 1500000000)),
        Entry("ut7.txt", b"7", local_extra=ut_block(7, 1400000000, 1410000000, 1420000000)),
        Entry("ut_after_other.txt", b"o", local_extra=other_block + ut_block(1, 1500000000)),
        # Four bytes or fewer are not searched.
        Entry("short_extra.txt", b"s", local_extra=b"UT\x00\x00"),
        # Announces three times, holds one; the entry's data follows the field.
        Entry("ut_overrun.txt", b"\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a",
              method=0, local_extra=ut_block(7, 1500000000, size=13)),
        # Month 0: not a calendar date.
        Entry("bad_date.txt", b"b", date=DOS_DATE & ~0x01E0),
        Entry("bad_date_ut.txt", b"u", date=DOS_DATE & ~0x01E0,
              local_extra=ut_block(1, 1500000000)),
        Entry("negative_ut.txt", b"n", local_extra=ut_block(1, -86400)),
        # Only the central copy carries times: it is not looked at.
        Entry("central_ut.txt", b"c", central_extra=ut_block(1, 1500000000)),
    ])
    a["layout"] = build([
        Entry("a/b/"),
        Entry("x/y/z.txt", b"deep"),
        Entry("empty.txt", b""),
        Entry("setup.exe", b"MZ setup"),
        Entry("mixed\\sep/file.txt", b"mixed"),
    ])
    a["same_name"] = build([
        Entry("dup.txt", b"first"),
        Entry("x/../dup.txt", b"second"),
    ])
    a["hostile"] = build([Entry(name, b"hostile %d" % i) for i, name in enumerate(HOSTILE)])
    a["long_names"] = build([
        Entry("n" * 259, b"259"),
        Entry("m" * 260, b"260"),
        Entry("k" * 300, b"300"),
        Entry("d" * 120 + "/" + "e" * 120 + "/f.txt", b"deep"),
        Entry("d" * 120 + "/" + "g" * 130 + "/"),
        Entry("ok.txt", b"fits"),
    ])
    a["dirs_and_files"] = build([
        Entry("dir/"),
        Entry("dir/file.txt", b"f"),
        Entry("other/"),
        Entry("top.txt", b"t"),
    ])
    a["unreadable_extra"] = unreadable_extra()
    a["infozip"] = infozip()
    return a


# Index -> what the name guards to; None when the entry must be refused.
HOSTILE = [
    "../x1.txt",
    "..\\x2.txt",
    "a\\..\\..\\x3.txt",
    "C:\\x\\..\\y\\x4.txt",
    "\\\\server\\share\\x5.txt",
    "/abs/x6.txt",
    "a/../../x7.txt",
    "../../x8.txt",
    "C:x9.txt",
    "dir/x10.txt:stream",
    "..",
    "sub/..",
    "...",
    "sub/.. /x13.txt",
    "CON",
    "dir/aux.txt",
    "ok/x16.txt",
]


def unreadable_extra():
    """One entry whose local header sits in the archive comment, at the very
    end of the file, announcing an extra field that runs past the end."""
    name = b"beyond.txt"
    data = b"x"
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 0, DOS_TIME, DOS_DATE,
                        zlib.crc32(data), 1, 1, len(name), 0xFFFF) + name
    central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, (HOST_UNIX << 8) | 20, 20, 0, 0,
                          DOS_TIME, DOS_DATE, zlib.crc32(data), 1, 1, len(name), 0, 0, 0, 0,
                          UNIX_FILE_RW, 0) + name
    comment_start = len(central) + 22
    central = central[:-len(name) - 4] + struct.pack("<I", comment_start) + name
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central), 0, len(local))
    return central + end + local


def infozip():
    """An archive from Info-ZIP's zip: local "UT" blocks (write and access
    times) and "ux" blocks, as real packages carry them."""
    if not shutil.which("zip"):
        sys.exit("make_archives: Info-ZIP zip is needed (scripts/setup installs it)")
    with tempfile.TemporaryDirectory() as work:
        os.makedirs(os.path.join(work, "tree", "sub"))
        for name, mtime, atime in (("tree/one.txt", 1500000000, 1500000100),
                                   ("tree/sub/two.txt", 1300000000, 1300000100)):
            path = os.path.join(work, name)
            with open(path, "wb") as f:
                f.write(name.encode() * 10)
            os.utime(path, (atime, mtime))
        subprocess.run(["zip", "-q", "-r", "out.zip", "tree"], cwd=work, check=True)
        with open(os.path.join(work, "out.zip"), "rb") as f:
            return f.read()


def main():
    target = sys.argv[1]
    os.makedirs(target, exist_ok=True)
    for name, data in archives().items():
        with open(os.path.join(target, name + ".zip"), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
