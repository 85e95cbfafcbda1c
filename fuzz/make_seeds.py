#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses: build/fuzz/seeds/<harness>/.

Every seed is generated here; nothing is downloaded. The installer, icon and
resource seeds are real files: installers packed (plain, branded, signed,
concatenated) by the packer in build/native from the stubs in build/win32 and
build/win64 where scripts/build made them, and .ico files of real PNG and BMP
images. The layouts match what
each harness reads (see fuzz_support.h's Reader: little-endian integers from
the front, then NUL-separated UTF-8 text fields).
"""
import io
import shutil
import subprocess
import tempfile
import lzma
import os
import struct
import sys
import zipfile
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def write_corpus(out, harness, seeds):
    folder = os.path.join(out, harness)
    os.makedirs(folder, exist_ok=True)
    for old in os.listdir(folder):
        os.remove(os.path.join(folder, old))
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


def write_dict(out, harness, tokens):
    with open(os.path.join(out, harness + ".dict"), "w", encoding="ascii") as f:
        for token in tokens:
            f.write('"' + "".join("\\x%02X" % b for b in token) + '"\n')


def text_fields(*fields):
    return b"\0".join(f.encode("utf-8", "surrogatepass") for f in fields)


# --- PE headers --------------------------------------------------------------

def pe_image(sections, optional_size=224, e_lfanew=0x80, machine=0x14C, tail=b""):
    """MZ header, "PE\\0\\0", file header, an optional header of the given size
    and a section table of (virtual size, raw size, raw pointer) triples."""
    dos = bytearray(e_lfanew)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 60, e_lfanew)
    file_header = struct.pack("<HHIIIHH", machine, len(sections), 0x5A000000, 0, 0,
                              optional_size, 0x0102)
    magic = 0x10B if optional_size == 224 else 0x20B
    optional = struct.pack("<H", magic) + bytes(max(optional_size - 2, 0))
    optional = optional[:optional_size]
    table = b""
    for i, (virtual_size, raw_size, raw_pointer) in enumerate(sections):
        name = (b".sec%d" % i).ljust(8, b"\0")
        table += name + struct.pack("<IIIIIIHHI", virtual_size, 0x1000 * (i + 1), raw_size,
                                    raw_pointer, 0, 0, 0, 0, 0x60000020)
    return bytes(dos) + b"PE\0\0" + file_header + optional + table + tail


def payload_seeds():
    typical = [(0x1234, 0x1400, 0x400), (0x300, 0x400, 0x1800), (0x80, 0x200, 0x1C00)]
    seeds = {
        "pe32_three_sections": pe_image(typical),
        "pe32plus_two_sections": pe_image(typical[:2], optional_size=240, machine=0x8664),
        "no_sections": pe_image([]),
        "unsorted_sections": pe_image([(1, 0x200, 0x5000), (1, 0x200, 0x400), (1, 0x10, 0x4000)]),
        "end_wraps_past_4gib": pe_image([(1, 0x20, 0xFFFFFFF0), (1, 0x200, 0x400)]),
        "largest_end_0x7fffffff": pe_image([(1, 0x7FFFFFFF, 0)]),
        "zero_optional_header": pe_image(typical, optional_size=0),
        "far_pe_header": pe_image(typical, e_lfanew=0x400),
        "mz_only": b"MZ" + bytes(62),
        "pe_offset_past_end": b"MZ" + bytes(58) + struct.pack("<I", 0xFFFFFFF0),
        "table_cut_short": pe_image(typical)[:-20],
        "many_sections_declared": bytearray(pe_image(typical)),
    }
    many = seeds["many_sections_declared"]
    struct.pack_into("<H", many, 0x80 + 6, 0xFFFF)
    seeds["many_sections_declared"] = bytes(many)
    return seeds


# --- log composition and FormatText ------------------------------------------

def log_seed(stamp, level, flags, tag_cap, debug_cap, ini_cap, tag, level_name, message, path):
    head = struct.pack("<9II", *stamp, level)
    head += struct.pack("<BBHH", flags, tag_cap, debug_cap, ini_cap)
    return head + text_fields(tag, level_name, message, path)


def log_seeds():
    now = (4242, 77, 2024, 3, 9, 14, 5, 59, 7)
    odd = (0xFFFFFFFF, 0x80000000, 65535, 13, 32, 25, 61, 61, 1000)
    return {
        "typical": log_seed(now, 3, 0, 64, 300, 260, "setup", "", "打开文件[C:\\a.txt]失败",
                            "C:\\Program Files\\vexlode\\boot.exe"),
        "long_message": log_seed(now, 1, 0, 12, 1100, 30, "setuptool", "",
                                 "x" * 1100, "C:\\logs\\setup.log"),
        "negative_stamp_null_tag": log_seed(odd, 9, 1, 5, 40, 12, "", "", "m", "none"),
        "own_level_name_null_path": log_seed(now, 2, 2 | 4, 9, 120, 11, "t", "LEVEL",
                                             "\r\n%s%d", ""),
        "long_path": log_seed(now, 4, 0, 200, 0, 599, "12345678",
                              "", "msg", "C:\\" + "d\\" * 130 + "f.log"),
        "dots_everywhere": log_seed(now, 0, 0, 0, 1, 1, "tag\ud800", "",
                                    "\udfff", "C:\\a.b\\c.d\\noext"),
        "unc_walk": log_seed(now, 3, 0, 8, 8, 8, "s", "", "m",
                             "\\\\srv\\share\\a//b\\..c\\t.log"),
    }


def format_seed(case, capacity, nulls, n0, n1, *texts):
    return struct.pack("<BHBii", case, capacity, nulls, n0, n1) + text_fields(*texts)


def format_seeds():
    seeds = {}
    for case in range(9):
        seeds["case%d" % case] = format_seed(case, 4199, 0, -2147483648, 2052, "setup",
                                             "C:\\Users\\x\\AppData\\Local\\Temp\\vexlode_1_2_3",
                                             "执行进程失败了")
        seeds["case%d_cut" % case] = format_seed(case, 7, 0b101, 7, -1, "abcdefghij", "", "k")
    return seeds


# --- archives ----------------------------------------------------------------

def ut_block(flags, *times):
    data = bytes([flags]) + b"".join(struct.pack("<i", t) for t in times)
    return b"UT" + struct.pack("<H", len(data)) + data


def zip_with(entries, prefix=b"", **options):
    buffer = io.BytesIO()
    buffer.write(prefix)
    with zipfile.ZipFile(buffer, "a" if prefix else "w", **options) as archive:
        for info, data in entries:
            archive.writestr(info, data)
    return buffer.getvalue()


def entry(name, compress=zipfile.ZIP_DEFLATED, system=0, external=0x20, extra=b"",
          date=(2017, 1, 1, 12, 30, 30)):
    info = zipfile.ZipInfo(name, date_time=date)
    info.compress_type = compress
    info.create_system = system
    info.external_attr = external
    info.extra = extra
    return info


class ZipCrypto:
    """Traditional PKWARE encryption, to make encrypted entries."""

    def __init__(self, password):
        self.keys = [0x12345678, 0x23456789, 0x34567890]
        for c in password:
            self.update(c)

    @staticmethod
    def crc(value, byte):
        return zlib.crc32(bytes([byte]), value ^ 0xFFFFFFFF) ^ 0xFFFFFFFF

    def update(self, byte):
        self.keys[0] = self.crc(self.keys[0], byte)
        self.keys[1] = (self.keys[1] + (self.keys[0] & 0xFF)) & 0xFFFFFFFF
        self.keys[1] = (self.keys[1] * 134775813 + 1) & 0xFFFFFFFF
        self.keys[2] = self.crc(self.keys[2], self.keys[1] >> 24)

    def encrypt(self, data):
        out = bytearray()
        for byte in data:
            temp = (self.keys[2] | 2) & 0xFFFF
            out.append(byte ^ (((temp * (temp ^ 1)) >> 8) & 0xFF))
            self.update(byte)
        return bytes(out)


def raw_zip(records):
    """Builds an archive record by record, for what zipfile will not write:
    encryption, data descriptors, local headers that disagree with the
    central directory. Each record is a dict of header fields."""
    local = b""
    central = b""
    for r in records:
        offset = len(local)
        name = r["name"].encode("utf-8")
        central_fields = (r.get("method", 0), r.get("time", 0x63CF), r.get("date", 0x4A21),
                          r["crc"], len(r["data"]), r["size"])
        local_fields = r.get("local", central_fields)
        local += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, r.get("flag", 0), *local_fields,
                             len(name), len(r.get("extra", b""))) + name + r.get("extra", b"")
        local += r["data"]
        if r.get("flag", 0) & 8:
            local += struct.pack("<IIII", 0x08074B50, r["crc"], len(r["data"]), r["size"])
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, r.get("made_by", 20), 20,
                               r.get("flag", 0), *central_fields, len(name), 0, 0, 0, 0,
                               r.get("external", 0x20), offset) + name
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(records), len(records), len(central),
                      len(local), 0)
    return local + central + end


def encrypted_record(name, content, check_from_time=False):
    crc = zlib.crc32(content)
    flag = 1 | (8 if check_from_time else 0)
    time = 0x63CF
    check = (time >> 8) & 0xFF if check_from_time else crc >> 24
    header = bytes(range(11)) + bytes([check])
    cipher = ZipCrypto(b"")
    data = cipher.encrypt(header + content)
    return {"name": name, "data": data, "size": len(content), "crc": crc, "flag": flag,
            "time": time}


def archive_seeds():
    content = b"MZ setup.exe body " * 20
    stub = pe_image([(1, 0x200, 0x400)]) + bytes(0x600 - 0x80 - 24 - 224 - 40)
    both_times = ut_block(7, 1483273830, 1483273831, 1483273832)
    seeds = {
        "setup_only": zip_with([(entry("setup.exe"), content)]),
        "empty": zip_with([]),
        "stored_and_deflated": zip_with([
            (entry("setup.exe", zipfile.ZIP_STORED), content),
            (entry("data/readme.txt"), b"hello\r\n" * 50),
        ]),
        "unix_host_dirs": zip_with([
            (entry("a/", zipfile.ZIP_STORED, 3, 0x41ED0010), b""),
            (entry("a/b/", zipfile.ZIP_STORED, 3, 0x41ED0010), b""),
            (entry("a/b/ro.txt", system=3, external=0x81240000), b"read only"),
            (entry("a/rw.txt", system=3, external=0x81A40000), b"writable"),
        ]),
        "dos_attributes": zip_with([
            (entry("hidden.sys", system=0, external=0x27), b"x"),
            (entry("dir/", zipfile.ZIP_STORED, 0, 0x10), b""),
            (entry("ntfs.txt", system=11, external=0x21), b"y"),
        ]),
        "ut_blocks": zip_with([
            (entry("write_only.txt", extra=ut_block(1, 1483273830)), b"w"),
            (entry("all_three.txt", extra=both_times), b"a"),
            (entry("other_first.txt", extra=b"\x0a\x00\x04\x00abcd" + ut_block(3, 1, 2)), b"o"),
            (entry("ut_short.txt", extra=b"UT\x09\x00\x07\x01\x02"), b"s"),
            (entry("tiny_extra.txt", extra=b"UT\x00\x00"), b"t"),
        ]),
        "hostile_names": zip_with([
            (entry("C:\\x\\..\\y\\z.txt"), b"1"),
            (entry("/abs/file.txt"), b"2"),
            (entry("\\\\server\\share\\f.txt"), b"3"),
            (entry("a/b/../c.txt"), b"4"),
            (entry("a\\..\\..\\x"), b"5"),
            (entry("../../evil.exe"), b"6"),
            (entry("n" * 300), b"7"),
        ]),
        "utf8_names": zip_with([
            (entry("安装/说明.txt"), "中文".encode("utf-8")),
            (entry("emoji_\U0001F600.txt"), b"e"),
        ]),
        "after_pe_stub": zip_with([(entry("setup.exe"), content)], prefix=stub),
        "zip64": zip_with([(entry("big.bin"), bytes(1000))]),
        "encrypted": raw_zip([encrypted_record("setup.exe", content)]),
        "encrypted_descriptor": raw_zip([encrypted_record("setup.exe", b"abc", True)]),
        "descriptor_deflated": raw_zip([{
            "name": "d.txt", "method": 8, "flag": 8, "crc": zlib.crc32(b"abc" * 100),
            "size": 300, "data": zlib.compress(b"abc" * 100)[2:-4],
            "local": (8, 0x63CF, 0x4A21, 0, 0, 0)}]),
        "local_header_disagrees": raw_zip([
            {"name": "one.txt", "crc": zlib.crc32(b"1"), "size": 1, "data": b"1"},
            {"name": "two.txt", "crc": zlib.crc32(b"2"), "size": 1, "data": b"2",
             "local": (8, 0x63CF, 0x4A21, 0, 1, 1)},
            {"name": "three.txt", "crc": zlib.crc32(b"3"), "size": 1, "data": b"3"},
        ]),
        "bad_method_and_date": raw_zip([
            {"name": "m.bin", "method": 12, "crc": 0, "size": 0, "data": b""},
            {"name": "d.bin", "date": 0, "time": 0xFFFF, "crc": 0, "size": 0, "data": b""},
        ]),
    }
    seeds["lzma"] = zip_with([
        (entry("setup.exe", zipfile.ZIP_LZMA), content),
        (entry("empty.txt", zipfile.ZIP_LZMA), b""),
        (entry("stored.txt", zipfile.ZIP_STORED), b"s"),
    ])
    # zipfile would write the zip64 extra only for large entries; force it.
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        with archive.open(entry("z64.txt"), "w", force_zip64=True) as f:
            f.write(b"zip64 " * 10)
    seeds["zip64"] = buffer.getvalue()
    return seeds


def lzma_entry_data(data, dict_size=1 << 16):
    """Method 14's data: version, properties size, properties, stream."""
    filters = [{"id": lzma.FILTER_LZMA1, "dict_size": dict_size}]
    compressor = lzma.LZMACompressor(lzma.FORMAT_RAW, filters=filters)
    stream = compressor.compress(data) + compressor.flush()
    return struct.pack("<BBH", 9, 4, 5) + lzma._encode_filter_properties(filters[0]) + stream


def lzma_entry_seeds():
    # Layout: U8 mode (bit 0: end marker announced, bit 7: any declared size,
    # bit 6: a fifth size byte follows), U32 declared size, U8 read piece,
    # U8 input capacity, then the entry's data.
    def seed(mode, declared, data, piece=255, capacity=255):
        return struct.pack("<BIBB", mode, declared, piece, capacity) + data
    text = b"".join(b"%d install vexlode package\n" % i for i in range(800))
    seeds = {
        "marker": seed(1, len(text), lzma_entry_data(text)),
        "marker_unannounced": seed(0, len(text), lzma_entry_data(text)),
        "small_window": seed(1, len(text), lzma_entry_data(text, 4096), piece=3, capacity=1),
        "empty": seed(1, 0, lzma_entry_data(b"")),
        "runs_past": seed(0, 100, lzma_entry_data(text)),
        "huge_dictionary": seed(0x81, 300 << 20, lzma_entry_data(b"x")[:5] + struct.pack("<I", 1 << 30)
                                + lzma_entry_data(b"x")[9:]),
    }
    return seeds


# --- entry rules and command lines -------------------------------------------

ENTRY_NAMES = [
    "C:\\x\\..\\y\\z.txt", "/abs/file.txt", "\\\\server\\share\\f.txt", "a/b/../c.txt",
    "docs/readme.txt", "a\\..\\..\\x", "..\\x", "../", "x:y:z", "C:", "\\", "a/./b/", "..",
]


def entry_rules_seeds():
    # Layout: U16 version made by, U32 external attributes, U16 date, U16 time,
    # U16 join capacity, the central fields (U16 method, U32 CRC-32, U32 and
    # U32 sizes, U16 name length), U16 general-purpose flags; then the stored
    # name and the base directory (NUL-ended), and the rest as the local
    # extra field, local header and encryption header.
    def seed(made_by, external, date, time, name, rest=b"", base="C:\\Temp\\vexlode_1_2_3\\",
             capacity=260, central=(8, 0x12345678, 10, 20, 5), flags=0):
        head = struct.pack("<HIHHHHIIIHH", made_by, external, date, time, capacity, *central, flags)
        return head + text_fields(name, base) + b"\0" + rest
    header = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 8, 0x63CF, 0x4A21, 0x12345678, 10,
                         20, 5, 9)
    seeds = {}
    for i, name in enumerate(ENTRY_NAMES):
        seeds["name%02d" % i] = seed(0x0314, 0x81A40000, 0x4A21, 0x63CF, name)
    seeds["unix_dir"] = seed(0x0314, 0x41ED0000, 0x4A21, 0x63CF, "d/", ut_block(1, 1483273830))
    seeds["dos_all"] = seed(0x0014, 0x27, 0x4A21, 0x63CF, "f", ut_block(7, 0, -1, 2147483647))
    seeds["ntfs"] = seed(0x0B14, 0x10, 0, 0, "n", b"\x01\x00\x04\x00abcd" + ut_block(2, 5))
    seeds["bad_date"] = seed(0x0014, 0, 0xFFFF, 0xFFFF, "b", b"UT\x0d\x00\x07\x01\x02\x03")
    for year in (2000, 2020, 2100):  # leap, leap, not leap
        seeds["feb29_%d" % year] = seed(0x0014, 0, (year - 1980) << 9 | 2 << 5 | 29, 0xBF7D, "l")
    seeds["utf8_name"] = seed(0x0314, 0, 0x4A21, 0x63CF, "安装/说明.txt\U0001F600")
    seeds["long_name"] = seed(0x0314, 0, 0x4A21, 0x63CF, "n/" * 200, capacity=599)
    seeds["devices"] = seed(0x0314, 0, 0x4A21, 0x63CF, "a/CON.txt/COM\u00b9/lpt9 .x/. ./x")
    seeds["local_header"] = seed(0x0014, 0x20, 0x4A21, 0x63CF, "setup.exe", header + b"setup")
    seeds["local_header_descriptor"] = seed(0x0014, 0x20, 0x4A21, 0x63CF, "x",
                                            header[:6] + b"\x08\x00" + header[8:], flags=9)
    encrypted = encrypted_record("setup.exe", b"abc")["data"][:12]
    seeds["encryption_header"] = seed(0x0014, 0x20, 0x4A21, 0x63CF, "e", encrypted, flags=1)
    return seeds


COMMAND_LINES = [
    '"C:\\dl\\boot.exe" /a=1 /B=2',
    '"C:\\dl\\boot.exe"',
    '"C:\\dl\\boot.exe" /Lang=1 /LANG=2',
    '"C:\\dl\\boot.exe" x=1 /y=2',
    '"C:\\dl\\boot.exe" / k e y = v',
    '"C:\\dl\\boot.exe" /flag /a==b /a=b=c /=v /== / = ',
    '"C:\\dl\\boot.exe" |a=1 /dir=C:/tmp',
    '"C:\\dl\\boot.exe" /dir="C:\\Program Files\\x"',
    '"C:\\dl\\boot.exe" -a=1 /a:1',
    'boot.exe /a=1',
    '"C:\\dl\\boot.exe" /lang=2052 /silent',
    '"C:\\dl\\boot.exe" /PAREN=x',
    '"C:\\dl\\boot.exe" /Zeta=1 /alpha=2 /_x /b /A',
    '"unterminated /a=1',
    '',
    '""',
    '"C:\\安装\\boot.exe" /名字=值 /KEY=\ud800',
]


def command_line_seeds():
    # Layout: U8 flags, then the command line, then (after a NUL) the path
    # given to AddParentPath.
    seeds = {}
    for i, line in enumerate(COMMAND_LINES):
        seeds["line%02d" % i] = bytes([i % 4]) + text_fields(line, "C:\\dl\\boot.exe")
    # System messages as they come, closing line break included.
    for i, text in enumerate(["The system cannot find the file specified.\r\n", "\r\n", "\n",
                              "x\r", "m" * 246 + "\r\n", "m" * 247]):
        seeds["message%d" % i] = bytes([0]) + text_fields(text, "")
    return seeds


def tree_paths_seeds():
    # Layout: U8 flags (1: null root, 2: null name), root, NUL, name.
    roots = ["C:\\Temp\\vexlode_1_2_3", "C:\\Temp\\vexlode_1_2_3\\", "C:\\", "\\", "\\\\",
             "C:", "\\\\server\\share\\\\\\", "C:\\" + "d" * 256, "C:\\" + "e" * 253]
    seeds = {}
    for i, root in enumerate(roots):
        seeds["root%02d" % i] = bytes([0]) + text_fields(root, ".cache" if i % 2 else "setup.exe")
    seeds["null_root"] = bytes([1]) + text_fields("", "name")
    seeds["null_name"] = bytes([2]) + text_fields("C:\\x", "")
    return seeds


def sha256_seeds():
    """Piece count, piece sizes, then the message: lengths around the block
    and padding boundaries."""
    seeds = {"empty": b"", "abc": b"\x00abc"}
    for length in (55, 56, 63, 64, 119, 120, 200):
        seeds["pieces_%d" % length] = bytes([3, 1, 0, 62]) + bytes(range(length))
    return seeds


# --- Real installers, icons and resource sections ------------------------------

def png_image(size, seed):
    """A real PNG: an RGBA picture of size x size."""
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    rows = b"".join(b"\0" + bytes((x * 7 + y * 3 + seed) % 256 for x in range(size * 4))
                    for y in range(size))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def bmp_image(size, bits=32):
    """A real icon DIB: BITMAPINFOHEADER of double height, pixels, AND mask."""
    stride = (size * bits // 8 + 3) // 4 * 4
    mask = (size + 31) // 32 * 4
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, (stride + mask) * size, 0, 0, 0, 0)
    palette = bytes(4 * (1 << bits)) if bits <= 8 else b""
    return header + palette + bytes((i * 13) % 256 for i in range(stride * size)) + bytes(mask * size)


def ico_file(images):
    """images: (width, bit count, image bytes)."""
    header = struct.pack("<HHH", 0, 1, len(images))
    body, offset = b"", 6 + 16 * len(images)
    for width, bits, data in images:
        header += struct.pack("<BBBBHHII", width % 256, width % 256, 0, 0, 1, bits, len(data), offset + len(body))
        body += data
    return header + body


def ico_seeds():
    seeds = {
        "png_16_32_48_256": ico_file([(s, 32, png_image(s, s)) for s in (16, 32, 48, 256)]),
        "bmp_16_32": ico_file([(16, 32, bmp_image(16)), (32, 32, bmp_image(32))]),
        "bmp_8bit_and_png": ico_file([(16, 8, bmp_image(16, 8)), (256, 32, png_image(64, 1))]),
        "one_bmp_4bit": ico_file([(32, 4, bmp_image(32, 4))]),
    }
    for name in ("bugcatcher.ico", "sysinfo.ico"):  # real icons some packages ship
        for folder in ("/usr/share/clang", "/usr/share/doc"):
            for base, _, files in os.walk(folder):
                if name in files and "system_" + name not in seeds:
                    with open(os.path.join(base, name), "rb") as f:
                        seeds["system_" + name] = f.read()
    return seeds


def sections(image):
    """(name, virtual address, raw size, raw pointer) of a PE image's sections."""
    pe = struct.unpack_from("<I", image, 60)[0]
    count, optional = struct.unpack_from("<HH", image, pe + 6)[0], struct.unpack_from("<H", image, pe + 20)[0]
    table = pe + 24 + optional
    out = []
    for i in range(count):
        header = table + 40 * i
        name = image[header:header + 8].rstrip(b"\0")
        va, raw_size, raw = struct.unpack_from("<III", image, header + 12)[0], \
            struct.unpack_from("<I", image, header + 16)[0], struct.unpack_from("<I", image, header + 20)[0]
        out.append((name, va, raw_size, raw))
    return out


def installer_seeds():
    """Real installers (harness input as is) and their stubs' resource
    sections, from what scripts/build left; empty where it has not run."""
    packer = os.path.join(ROOT, "build", "native", "vexlode-pack")
    stubs = [(arch, os.path.join(ROOT, "build", arch, "vexlode.exe")) for arch in ("win32", "win64")]
    stubs = [(arch, stub) for arch, stub in stubs if os.path.exists(stub)]
    installers, resources = {}, {}
    if not os.path.exists(packer) or not stubs:
        return installers, resources
    work = tempfile.mkdtemp(prefix="vexlode_seeds_")
    try:
        package = os.path.join(work, "package.zip")
        with zipfile.ZipFile(package, "w", zipfile.ZIP_DEFLATED) as archive:
            archive.writestr("setup.exe", b"MZ" + bytes(126))
            archive.writestr("data/readme.txt", b"hello " * 40)
        icon = os.path.join(work, "app.ico")
        with open(icon, "wb") as f:
            f.write(ico_seeds()["png_16_32_48_256"])
        branding = ["--icon", icon, "--file-version", "1.2.3.4", "--product-version", "5.6",
                    "--version-string", "ProductName=Seed Product", "--version-string", "CompanyName=Seeds"]
        cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
        can_sign = shutil.which("openssl") and shutil.which("osslsigncode") and subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
             "-days", "2", "-subj", "/CN=vexlode seed"], stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL).returncode == 0
        for arch, stub in stubs:
            flags = ["--allow-x64"] if arch == "win64" else []
            with open(stub, "rb") as f:
                stub_bytes = f.read()
            for name, va, raw_size, raw in sections(stub_bytes):
                if name == b".rsrc":
                    resources[arch + "_stub_rsrc"] = struct.pack("<II", va, va + 0x3000) + \
                        stub_bytes[raw:raw + raw_size]
            with open(package, "rb") as f:
                installers[arch + "_concatenated"] = stub_bytes + f.read()
            for kind, options in (("packed", []), ("branded", branding)):
                out = os.path.join(work, "%s_%s.exe" % (arch, kind))
                if subprocess.run([packer, *flags, "--stub", stub, package, "-o", out, *options],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode:
                    continue
                with open(out, "rb") as f:
                    installers[arch + "_" + kind] = f.read()
                if kind == "branded":
                    image = installers[arch + "_" + kind]
                    for name, va, raw_size, raw in sections(image):
                        if name == b".rsrc":
                            resources[arch + "_branded_rsrc"] = struct.pack("<II", va, va) + \
                                image[raw:raw + raw_size]
                signed = out[:-4] + "_signed.exe"
                if can_sign and subprocess.run(
                        ["osslsigncode", "sign", "-certs", cert, "-key", key, "-n", "seed", "-h", "sha256",
                         "-in", out, "-out", signed], stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL).returncode == 0:
                    with open(signed, "rb") as f:
                        installers[arch + "_" + kind + "_signed"] = f.read()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    # Layouts the harnesses showed the check misjudging: a seal section whose
    # raw data is shorter than a record (the loader zero-fills it), and
    # section ends that wrap at 4 GiB so that the image ends inside the record.
    for arch in ("win32", "win64"):
        for kind in ("concatenated", "packed"):
            if arch + "_" + kind in installers:
                image = bytearray(installers[arch + "_" + kind])
                short, wrapped = bytearray(image), bytearray(image)
                pe = struct.unpack_from("<I", image, 60)[0]
                table = pe + 24 + struct.unpack_from("<H", image, pe + 20)[0]
                for i, (name, _, _, _) in enumerate(sections(bytes(image))):
                    header = table + 40 * i
                    if name == b".vxseal":
                        struct.pack_into("<I", short, header + 16, 16)
                        struct.pack_into("<I", wrapped, header + 16, 0xFFFFFFF0)
                    elif name in (b".reloc", b".rsrc"):
                        struct.pack_into("<II", wrapped, header + 16, 0, 0)
                installers[arch + "_" + kind + "_short_seal_section"] = bytes(short)
                installers[arch + "_" + kind + "_wrapping_section_ends"] = bytes(wrapped)
    return installers, resources


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "fuzz", "seeds")
    os.makedirs(out, exist_ok=True)
    write_corpus(out, "payload_scan_fuzzer", payload_seeds())
    write_corpus(out, "log_format_fuzzer", log_seeds())
    write_corpus(out, "format_text_fuzzer", format_seeds())
    write_corpus(out, "archive_fuzzer", archive_seeds())
    write_corpus(out, "entry_rules_fuzzer", entry_rules_seeds())
    write_corpus(out, "lzma_entry_fuzzer", lzma_entry_seeds())
    write_corpus(out, "command_line_fuzzer", command_line_seeds())
    write_corpus(out, "tree_paths_fuzzer", tree_paths_seeds())
    write_corpus(out, "sha256_fuzzer", sha256_seeds())
    installers, resources = installer_seeds()
    write_corpus(out, "check_fuzzer", installers)
    # Flag byte 1: re-seal, so that the tail is what gets judged.
    write_corpus(out, "seal_verdict_fuzzer",
                 {name + suffix: bytes([flags]) + data for name, data in installers.items()
                  for suffix, flags in (("", 0), ("_resealed", 1))})
    write_corpus(out, "ico_fuzzer", ico_seeds())
    write_corpus(out, "resources_fuzzer", resources)
    write_dict(out, "archive_fuzzer", [b"PK\x03\x04", b"PK\x01\x02", b"PK\x05\x06",
                                       b"PK\x06\x06", b"PK\x06\x07", b"PK\x07\x08", b"UT",
                                       b"\x01\x00", b"\xff\xff\xff\xff", b"\x0e\x00"])
    write_dict(out, "lzma_entry_fuzzer", [b"\x09\x04\x05\x00", b"\x5d", b"\x00\x00\x01\x00"])
    write_dict(out, "payload_scan_fuzzer", [b"MZ", b"PE\x00\x00", b"\xe0\x00", b"\xf0\x00"])
    write_dict(out, "command_line_fuzzer", [b'"', b"|", b"/", b"=", b" ", b"paren", b"PAREN"])
    pe_tokens = [b"MZ", b"PE\x00\x00", b".vxseal\x00", b"vxseal01", b".rsrc\x00\x00\x00", b"PK\x03\x04",
                 b"PK\x05\x06", b"\x00\x02\x02\x00", b"\x00\x00\x00\x80"]
    write_dict(out, "check_fuzzer", pe_tokens)
    write_dict(out, "seal_verdict_fuzzer", pe_tokens)
    write_dict(out, "resources_fuzzer", [b"\x00\x00\x00\x80", b"\x10\x00", b"\x0e\x00", b"\x03\x00",
                                         b"\x09\x04", b"\xff\xff\xff\xff"])
    write_dict(out, "entry_rules_fuzzer", [b"\\..\\", b"\\../", b"/../", b"/..\\", b"C:", b"UT"])


if __name__ == "__main__":
    main()
