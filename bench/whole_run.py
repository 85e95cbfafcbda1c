"""Whole installation runs under Wine, split into phases, against the same
work done natively (cp, unzip -q or Python's zipfile, rm -rf), and the
reference package's installer sizes with DEFLATE and with LZMA. Prints
figures; asserts nothing."""
import os
import random
import re
import shutil
import subprocess
import sys
import time
import zipfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import harness  # noqa: E402

WIN = harness.WIN_BUILD  # the build whose installers are timed (VEXLODE_WIN_BUILD)

LAUNCHER = os.path.join(WIN, "bench", "bench_launcher.exe")
STAMP = re.compile(r"\d{4}-\d\d-\d\d (\d\d):(\d\d):(\d\d):(\d{3}):")


def ms_of(h, m, s, ms):
    return ((int(h) * 60 + int(m)) * 60 + int(s)) * 1000 + int(ms)


def stamp_ms(line):
    match = STAMP.search(line)
    return ms_of(*match.groups()) if match else None


def realistic_package(path, work):
    """About 120 entries and 10 MB: text that compresses, binaries that do not."""
    rng = random.Random(5)
    words = [b"install", b"vexlode", b"package", b"config", b"value", b"library", b"module"]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("setup.exe", harness.recorder_bytes())
        for folder in range(8):
            for n in range(15):
                name = "app/part%d/file%02d" % (folder, n)
                if n % 3 == 0:
                    z.writestr(name + ".dll", rng.randbytes(rng.randint(100_000, 190_000)))
                else:
                    text = b" ".join(rng.choice(words) for _ in range(rng.randint(2_000, 12_000)))
                    z.writestr(name + ".txt", text)
        count = len(z.infolist())
    return count


def big_package(path):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
        z.writestr("setup.exe", harness.recorder_bytes())
        for n in range(4):
            z.writestr("data/blob%d.bin" % n, random.Random(n).randbytes(25_000_000))
        return len(z.infolist())


def small_files_package(path):
    """5,000 files of 0.5 to 4 KB in 50 folders: per-entry costs dominate."""
    rng = random.Random(11)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("setup.exe", harness.recorder_bytes())
        for n in range(5000):
            size = rng.randint(512, 4096)
            z.writestr("files/d%02d/f%04d.dat" % (n % 50, n), rng.randbytes(size // 2) + bytes(size - size // 2))
        return len(z.infolist())


def over_4_gib_package(path):
    """setup.exe and one entry of zeros just past 4 GiB, deflated (a few MB)."""
    import test_zip64  # noqa: E402 (beside harness)
    test_zip64.big_package(path)
    return 2


SHIPPED_STUB = os.path.join(ROOT, "build", "win32", "vexlode.exe")
# Where Debian's wine32 puts its i386 Windows programs (libwine:i386).
WINE32_FOLDERS = ("/usr/lib/i386-linux-gnu/wine/i386-windows", "/usr/lib/wine/i386-windows")


def reference_tree(folder):
    """The reference package for the compression figures: the 43 largest
    DLLs and EXEs below 1 MiB that wine32 installs (some 38 MB of real 32-bit
    PE files), Debian's common licences as text, and setup.exe. None without
    wine32."""
    source = next((f for f in WINE32_FOLDERS if os.path.isdir(f)), None)
    if not source:
        return None
    programs = [os.path.join(source, n) for n in os.listdir(source)
                if n.endswith((".dll", ".exe")) and os.path.getsize(os.path.join(source, n)) < 1 << 20]
    programs = sorted(programs, key=lambda p: (-os.path.getsize(p), p))[:43]
    licences = "/usr/share/common-licenses"
    os.makedirs(os.path.join(folder, "bin"))
    os.makedirs(os.path.join(folder, "licenses"))
    for path in programs:
        shutil.copy(path, os.path.join(folder, "bin"))
    for name in sorted(os.listdir(licences)):
        path = os.path.join(licences, name)
        if os.path.isfile(path) and not os.path.islink(path):
            shutil.copy(path, os.path.join(folder, "licenses"))
    shutil.copy(harness.RECORDER, os.path.join(folder, "setup.exe"))
    return folder


def timed(command, **kwargs):
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kwargs)
    return (time.perf_counter() - start) * 1000


def unzip(archive, folder):
    return ["unzip", "-q", archive, "-d", folder]


def python_extract(archive, folder):
    """Python's zipfile, where Debian's unzip has no LZMA."""
    return [sys.executable, "-c", "import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])",
            archive, folder]


def whole_run(label, package, entries, work, native_extract=unzip):
    exe = harness.pack(package, os.path.join(work, "installer.exe"))
    harness.clean_slate()
    env = harness.wine_env()
    start = time.perf_counter()
    done = subprocess.run([harness.WINE, LAUNCHER, exe], env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=900)
    wall = (time.perf_counter() - start) * 1000
    run = harness.Run(done)
    report = dict(kv.split("=") for kv in done.stdout.decode().split())
    debug = run.debugger_lines()
    checkout = next(l for l in debug if "check out file uses:" in l)
    unzip = next(l for l in debug if "]:UnZip(" in l)
    result = next(l for l in debug if "[INF][setup   ]:" in l and "[" in l.split("]:")[-1])
    end_ms = ms_of(*report["end"].split(":"))
    phases = {
        "check-out": int(re.search(r"uses:(\d+) tick", checkout).group(1)),
        "extraction": int(re.search(r"uses:(\d+)$", unzip).group(1)),
        "installer": stamp_ms(result) - stamp_ms(unzip),
        "clean-up": end_ms - stamp_ms(result),
    }

    # The same work natively.
    native_dir = os.path.join(work, "native")
    copy = os.path.join(work, "copy.zip")
    native = {
        "check-out": timed(["cp", package, copy]),
        "extraction": timed(native_extract(copy, native_dir)),
        "installer": None,
        "clean-up": timed(["rm", "-rf", native_dir, copy]),
    }
    size = os.path.getsize(package)
    with zipfile.ZipFile(package) as z:
        unpacked = sum(i.file_size for i in z.infolist())
    print("\n%s: %d entries, %.1f MB unpacked, %.1f MB archive; exit code %s; wall %.0f ms under Wine"
          % (label, entries, unpacked / 1e6, size / 1e6, report["exit_code"], wall))
    print("  %-11s %10s %10s %7s" % ("phase", "Wine ms", "native ms", "ratio"))
    for phase, ms in phases.items():
        other = native[phase]
        if other is None:
            print("  %-11s %10d %10s %7s" % (phase, ms, "-", "-"))
        else:
            print("  %-11s %10d %10.0f %7.2f" % (phase, ms, other, ms / other if other else float("inf")))
    peak_kib = int(report["peak_working_set"]) / 1024
    idle_kib = os.environ.get("VEXLODE_IDLE_PEAK_KIB")
    over = ", %.1f MiB over an idle GUI program" % ((peak_kib - int(idle_kib)) / 1024) if idle_kib else ""
    print("  peak working set (GetProcessMemoryInfo): %.1f MiB%s" % (peak_kib / 1024, over))
    print("  left in the temporary directory: %s" % (harness.leftovers() or "nothing"))


def compare_methods(label, tree, work):
    """A folder packed with DEFLATE and with LZMA: installer sizes and
    packing times, then a whole run of each (extraction time, peak working
    set against the largest LZMA window, which is the largest file here)."""
    files = [os.path.join(d, n) for d, _, names in os.walk(tree) for n in names]
    total = sum(os.path.getsize(f) for f in files)
    print("\n%s: %d files, %.1f MB, the largest %.1f MB"
          % (label, len(files), total / 1e6, max(os.path.getsize(f) for f in files) / 1e6))
    stub = os.path.getsize(harness.STUB)
    sizes, archives = {}, {}
    for method in ("deflate", "lzma"):
        exe = os.path.join(work, "%s.exe" % method)
        start = time.perf_counter()
        harness.pack(tree, exe, "--compression", method)
        seconds = time.perf_counter() - start
        sizes[method] = os.path.getsize(exe)
        archives[method] = os.path.join(work, "%s.zip" % method)
        with open(exe, "rb") as source, open(archives[method], "wb") as target:
            target.write(source.read()[stub:])
        os.remove(exe)
        print("  %-7s installer %10d bytes (archive %5.1f%% of the files), packed in %.1f s"
              % (method, sizes[method], 100.0 * (sizes[method] - stub) / total, seconds))
    print("  LZMA installer / DEFLATE installer: %.3f" % (sizes["lzma"] / sizes["deflate"]))
    if os.path.exists(SHIPPED_STUB) and SHIPPED_STUB != harness.STUB:
        shipped = {m: os.path.getsize(SHIPPED_STUB) + os.path.getsize(a) for m, a in archives.items()}
        print("  with the shipped i686 stub: DEFLATE %d bytes, LZMA %d bytes, LZMA / DEFLATE %.3f"
              % (shipped["deflate"], shipped["lzma"], shipped["lzma"] / shipped["deflate"]))
    for method, archive in archives.items():
        with zipfile.ZipFile(archive) as z:
            entries = len(z.infolist())
        whole_run("%s, %s" % (label, method), archive, entries, work, python_extract)
        os.remove(archive)


def compression_runs(work):
    tree = reference_tree(os.path.join(work, "reference"))
    if tree:
        compare_methods("reference package (43 wine32 PE files below 1 MiB, licences, setup.exe)",
                        tree, work)
        shutil.rmtree(tree)
    else:
        print("\nno wine32 i386-windows folder here: reference package skipped")
    # One large file: its LZMA window is its whole size.
    large = os.path.join(work, "large")
    os.makedirs(large)
    shutil.copy(harness.RECORDER, os.path.join(large, "setup.exe"))
    rng = random.Random(7)
    words = [b"install", b"vexlode", b"package", b"config", b"value", b"library", b"module"]
    with open(os.path.join(large, "data.txt"), "wb") as f:
        f.write(b" ".join(rng.choice(words) for _ in range(3_000_000)))
    compare_methods("one large text file", large, work)
    shutil.rmtree(large)


def main():
    work = os.path.join(ROOT, "build", "bench", "whole")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    try:
        compression_runs(work)
        realistic = os.path.join(work, "realistic.zip")
        whole_run("realistic package", realistic, realistic_package(realistic, work), work)
        big = os.path.join(work, "big.zip")
        whole_run("100 MB package", big, big_package(big), work)
        small = os.path.join(work, "small.zip")
        whole_run("many small files", small, small_files_package(small), work)
        if os.environ.get("VEXLODE_BENCH_BIG", "1") != "0":
            huge = os.path.join(work, "huge.zip")
            whole_run("over-4-GiB entry", huge, over_4_gib_package(huge), work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
