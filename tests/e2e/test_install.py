"""Whole installation runs of packed installers under Wine."""
import os
import re
import shutil
import struct
import subprocess
import unittest
import zipfile
import zlib
from datetime import datetime, timezone

import harness

UTC = dict(TZ="UTC")


def crc(data):
    return "%08x" % (zlib.crc32(data) & 0xFFFFFFFF)


class InstallTest(harness.WorkTest):
    def tearDown(self):
        super().tearDown()
        ini = os.path.join(self.work_dir(), "logtool.ini")
        if os.path.exists(ini):
            os.remove(ini)

    def work_dir(self):
        return self.work

    def package(self, members, name="package.zip"):
        path = os.path.join(self.work, name)
        members = dict(members)
        members.setdefault("setup.exe", harness.recorder_bytes())
        harness.make_zip(path, members)
        return path

    def install(self, members=None, args=(), exe_name="installer.exe", **env):
        package = self.package(members or {})
        exe = harness.pack(package, self.path(exe_name))
        return exe, self.run_recorded(exe, args, **env)

    def assert_nothing_left(self):
        self.assertEqual(harness.leftovers(), [])

    def test_nested_package_reaches_setup_intact_and_is_removed(self):
        members = {}
        for top in range(6):
            members["app%d/" % top] = None
            for sub in range(3):
                for n in range(6):
                    name = "app%d/lib%d/file%d.bin" % (top, sub, n)
                    members[name] = harness.random_bytes(1000 + 37 * n + sub, hash(name) & 0xFFFF)
        self.assertEqual(len(members) + 1, 115)
        members.update({"readme.txt": b"read me", "empty.txt": b"", "docs/guide.txt": b"guide"})
        self.assertEqual(len(members) + 1, 118)
        exe, run = self.install(members, **UTC)
        self.assertEqual(run.exit_code, 1, run.stderr[-3000:])
        record = harness.read_record()
        self.assertIsNotNone(record, run.debugger_lines())
        with zipfile.ZipFile(os.path.join(self.work, "package.zip")) as archive:
            for info in archive.infolist():
                if info.is_dir():
                    self.assertIn(info.filename.rstrip("/"), record["dirs"])
                    continue
                seen = record["files"].get(info.filename)
                self.assertIsNotNone(seen, info.filename)
                data = archive.read(info)
                self.assertEqual(seen["size"], len(data), info.filename)
                self.assertEqual(seen["crc"], crc(data), info.filename)
                # The stored MS-DOS time is local time; with TZ=UTC it is UTC.
                unix = datetime(*info.date_time, tzinfo=timezone.utc).timestamp()
                self.assertEqual(seen["write"], int((unix + 11644473600) * 10**7), info.filename)
        # setup.exe ran from the extraction directory, beside the temporary archive.
        self.assertRegex(record["self"], r"\\vexlode_\d+_\d+_\d+\\setup\.exe$")
        with open(os.path.join(self.work, "package.zip"), "rb") as f:
            self.assertEqual(record["archive"]["crc"], crc(f.read()))
        self.assertEqual(record["cwd"].lower(), ("Z:" + self.work.replace("/", "\\")).lower())
        self.assert_nothing_left()

    def test_packages_mixing_stored_deflate_and_lzma_install_whole(self):
        # Our packer's LZMA from a folder (no end marker; stored where LZMA
        # does not help), and Python's zipfile mixing stored, DEFLATE and
        # LZMA with end markers, packed as it is whatever the option says.
        members = {"setup.exe": harness.recorder_bytes(), "docs/readme.txt": b"read me, LZMA " * 3000,
                   "random.bin": harness.random_bytes(30000, 9), "empty.txt": b""}
        tree = self.path("tree")
        os.makedirs(os.path.join(tree, "docs"))
        for name, data in members.items():
            with open(os.path.join(tree, name), "wb") as f:
                f.write(data)
        zipped = self.path("python.zip")
        methods = (zipfile.ZIP_LZMA, zipfile.ZIP_DEFLATED, zipfile.ZIP_STORED, zipfile.ZIP_LZMA)
        with zipfile.ZipFile(zipped, "w") as archive:
            for (name, data), method in zip(members.items(), methods):
                archive.writestr(name, data, compress_type=method)
        # name -> (method, general-purpose bit 1: the end marker announced)
        rows = [(tree, {"setup.exe": (14, 0), "docs/": (0, 0), "docs/readme.txt": (14, 0),
                        "random.bin": (0, 0), "empty.txt": (0, 0)}),
                (zipped, {"setup.exe": (14, 2), "docs/readme.txt": (8, 0), "random.bin": (0, 0),
                          "empty.txt": (14, 2)})]
        for package, expected in rows:
            with self.subTest(package):
                harness.clean_slate()
                exe = harness.pack(package, self.path("installer.exe"), "--compression", "lzma")
                with zipfile.ZipFile(exe) as archive:
                    self.assertEqual({i.filename: (i.compress_type, i.flag_bits & 2)
                                      for i in archive.infolist()}, expected)
                record = self.assert_installed(self.run_recorded(exe))
                for name, data in members.items():
                    self.assertEqual(record["files"][name]["size"], len(data), name)
                    self.assertEqual(record["files"][name]["crc"], crc(data), name)
                self.assertEqual([l for l in harness.read_log() if "[ERR]" in l], [])

    def test_installer_command_line_is_the_reserialised_arguments(self):
        cases = [
            (["/lang=2052", "/silent"], "lang=2052 |paren={p}|silent=|"),
            ([], "paren={p}|"),
            (["/PAREN=x"], "PAREN=x|"),
            (["/Zeta=1", "/alpha=2"], "alpha=2|paren={p}|Zeta=1 |"),
        ]
        for args, expected in cases:
            harness.clean_slate()
            exe, run = self.install(args=args)
            self.assertEqual(run.exit_code, 1)
            record = harness.read_record()
            path = "Z:" + exe.replace("/", "\\")
            self.assertEqual(record["cmdline"], expected.format(p=path), args)

    def test_working_directory_is_the_callers_or_the_installers_own_folder(self):
        package = self.package({})
        work = ("Z:" + self.work.replace("/", "\\")).lower()
        for options, in_its_folder in (((), False), (("--working-directory", "caller"), False),
                                       (("--working-directory", "package"), True)):
            with self.subTest(options):
                harness.clean_slate()
                exe = harness.pack(package, self.path("installer.exe"), *options)
                record = self.assert_installed(self.run_recorded(exe), options)
                folder = record["self"].rsplit("\\", 1)[0]
                self.assertEqual(record["cwd"].lower(), folder.lower() if in_its_folder else work)

    def test_environment_drops_code_loaders_and_temp_is_private_only_when_packed_so(self):
        package = self.package({})
        caller = dict(COR_ENABLE_PROFILING="1", COR_PROFILER="{6C1A0DBB-0000-0000-0000-000000000000}",
                      CORECLR_PROFILER_PATH_64="C:\\dl\\profiler.dll", DOTNET_STARTUP_HOOKS="C:\\dl\\hook.dll",
                      NoDefaultCurrentDirectoryInExePath="0", VEXLODE_RECORD_TEMP_LOG="1")
        for options, private in (((), False), (("--installer-temp", "private"), True)):
            with self.subTest(options):
                harness.clean_slate()
                exe = harness.pack(package, self.path("installer.exe"), *options)
                record = self.assert_installed(self.run_recorded(exe, **caller), options)
                for name in ("COR_ENABLE_PROFILING", "COR_PROFILER", "CORECLR_PROFILER_PATH_64",
                             "DOTNET_STARTUP_HOOKS"):
                    self.assertEqual(record["env:" + name], "(absent)", name)
                self.assertEqual(record["env:NoDefaultCurrentDirectoryInExePath"], "1")
                self.assertEqual(record["templog"], "ok")
                temp = record["env:TEMP"]
                self.assertEqual(record["env:TMP"], temp)
                folder = record["self"].rsplit("\\", 1)[0]
                # Its own folder beside the extraction directory, gone with it (no leftovers).
                self.assertEqual(temp.lower() == (folder + "_temp").lower(), private, temp)
                if not private:
                    os.remove(os.path.join(harness.temp_dir(), "installer_record.log"))

    def test_exit_code_follows_the_packed_choice_and_the_log_does_not(self):
        damaged = self.package({}, "damaged.zip")
        with open(damaged, "r+b") as f:  # setup.exe's deflated data: its extraction fails
            name_length, extra_length = struct.unpack_from("<HH", f.read(30), 26)
            f.seek(30 + name_length + extra_length + 1000)
            byte = f.read(1)[0]
            f.seek(-1, os.SEEK_CUR)
            f.write(bytes([byte ^ 0xFF]))
        # what, package, setup.exe's exit code, tampered after packing, exit code (default, installer)
        scenarios = [
            ("setup.exe returns 0", self.package({}), "0", False, (1, 0)),
            ("setup.exe returns 3010", self.package({}), "3010", False, (1, 3010)),
            ("setup.exe returns 1603", self.package({}), "1603", False, (1, 1603)),
            ("setup.exe returns 5", self.package({}), "5", False, (1, 5)),
            ("seal mismatch", self.package({}), "0", True, (0, 1603)),
            ("setup.exe not extracted", damaged, "0", False, (1, 1603)),
            ("setup.exe cannot start", self.package({"setup.exe": b"not a program"}, "bad.zip"), "0", False,
             (1, 1603)),
        ]
        for what, package, setup_exit, tampered, expected in scenarios:
            logs = []
            for options, want in (([], expected[0]), (["--exit-code", "installer"], expected[1])):
                harness.clean_slate()
                exe = harness.pack(package, self.path("installer.exe"), *options)
                if tampered:
                    with open(exe, "r+b") as f:
                        f.seek(-10, os.SEEK_END)
                        f.write(b"X")
                run = harness.run_for_exit_code(exe, cwd=self.work, VEXLODE_RECORD=harness.RECORD_WINDOWS_PATH,
                                                VEXLODE_RECORD_EXIT=setup_exit)
                self.assertEqual(run.exit_code, want, (what, options, harness.read_log()))
                self.assert_nothing_left()
                logs.append([re.sub(r"vexlode_\d+_\d+_\d+", "vexlode_N", l.split("]:", 1)[-1])
                             for l in harness.read_log()])
            self.assertEqual(logs[0], logs[1], what)
            if what == "setup.exe returns 3010":
                self.assertIn("进程执行结果:[bc2]", logs[0])

    def test_files_the_installer_leaves_behind_are_removed(self):
        exe, run = self.install(VEXLODE_RECORD_LITTER="1")
        self.assertEqual(run.exit_code, 1)
        self.assert_nothing_left()

    def test_files_in_use_are_retried_then_named(self):
        # A process the installer left behind holds one extracted file: for
        # less than the retry window, then for longer.
        helper = "Z:" + harness.RECORDER.replace("/", "\\")
        for hold_ms, left in ((700, False), (4000, True)):
            with self.subTest(hold_ms):
                harness.clean_slate()
                exe, run = self.install({"data.bin": b"held"}, VEXLODE_RECORD_HOLD=str(hold_ms),
                                        VEXLODE_RECORD_HOLD_FILE="data.bin",
                                        VEXLODE_RECORD_HOLD_EXE=helper)
                self.assertEqual(run.exit_code, 1)
                errors = [l for l in harness.read_log() if "[ERR]" in l]
                if not left:
                    self.assertEqual(errors, [])
                    self.assert_nothing_left()
                    continue
                [directory] = harness.leftovers()
                self.assertEqual(os.listdir(os.path.join(harness.temp_dir(), directory)),
                                 ["data.bin"])
                self.assertEqual(len(errors), 1, errors)
                self.assertIn("\\%s\\data.bin]" % directory, errors[0])

    def test_clean_up_removes_links_without_entering_them(self):
        outside = os.path.join(self.work, "outside")
        os.makedirs(os.path.join(outside, "sub"))
        for name in ("keep.txt", "sub/keep2.txt"):
            with open(os.path.join(outside, name), "w") as f:
                f.write("must survive")
        exe, run = self.install(VEXLODE_RECORD_LINK=outside)
        self.assertEqual(run.exit_code, 1)
        self.assertEqual(harness.read_record().get("link"), "1")
        for name in ("keep.txt", "sub/keep2.txt"):
            with open(os.path.join(outside, name)) as f:
                self.assertEqual(f.read(), "must survive")
        # Wine cannot remove a link by handle, so there the folder holding it
        # may stay; it must hold nothing but the link.
        for name in harness.leftovers():
            path = os.path.join(harness.temp_dir(), name)
            self.assertTrue(os.path.isdir(path) and not os.path.islink(path), name)
            self.assertEqual(os.listdir(path), ["planted_link"])
            os.remove(os.path.join(path, "planted_link"))
            os.rmdir(path)

    def run_raw(self, archive_bytes):
        """An installer the packer would refuse: the stub with any bytes after it."""
        with open(harness.STUB, "rb") as f:
            stub = f.read()
        exe = os.path.join(self.work, "raw.exe")
        with open(exe, "wb") as f:
            f.write(stub + archive_bytes)
        return harness.run_installer(exe, cwd=self.work, VEXLODE_RECORD=harness.RECORD_WINDOWS_PATH)

    def assert_failed_start_logged(self, run, extracted):
        unzip = [l for l in run.debugger_lines() if "[DBG][setup]:UnZip(" in l]
        self.assertEqual(len(unzip), 1, run.debugger_lines())
        self.assertRegex(unzip[0], r"UnZip\(vexlode_\d+_\d+_\d+\.zip,.*\\vexlode_\d+_\d+_\d+\\,%d\) uses:\d+$"
                         % extracted)
        log = harness.read_log()
        failure = [l for l in log if "执行进程失败了" in l]
        self.assertEqual(len(failure), 1, log)
        self.assertRegex(failure[0], r"\[INF\]\[setup   \]:执行进程失败了,file:\[.*\\setup\.exe\];cmd:\[paren=.*\|\],err:\[.+\]$")
        self.assertTrue(log[-1].endswith("[INF][setup   ]:进程执行结果:[ffffffff]"), log)

    def test_package_without_setup_logs_the_failed_start_and_cleans_up(self):
        buffer = os.path.join(self.work, "nosetup.zip")
        harness.make_zip(buffer, {"readme.txt": b"no installer here"})
        with open(buffer, "rb") as f:
            run = self.run_raw(f.read())
        self.assertEqual(run.exit_code, 1)
        self.assertIsNone(harness.read_record())
        # Every entry was extracted; only the installer is missing.
        self.assert_failed_start_logged(run, extracted=1)
        self.assert_nothing_left()

    def test_damaged_archive_logs_the_failed_start_and_cleans_up(self):
        run = self.run_raw(harness.random_bytes(50000, 3))
        self.assertEqual(run.exit_code, 1)
        self.assert_failed_start_logged(run, extracted=0)
        self.assert_nothing_left()

    def test_hostile_names_write_nothing_outside(self):
        names = ["../evil1.txt", "..\\evil2.txt", "a\\..\\..\\evil3.txt", "C:\\evil4.txt",
                 "/evil5.txt", "\\\\server\\share\\evil6.txt", "x/../../evil7.txt", "evil8.txt:stream"]
        members = {name: b"evil" for name in names}
        exe, run = self.install(members)
        self.assertEqual(run.exit_code, 1)
        record = harness.read_record()
        self.assertIsNotNone(record)
        drive_c = os.path.join(harness.PREFIX, "drive_c")
        found = subprocess.run(["find", drive_c, self.work, "-name", "evil*"],
                               stdout=subprocess.PIPE, text=True).stdout.split()
        self.assertEqual(found, [])
        self.assert_nothing_left()

    def test_log_and_debugger_lines_of_a_run(self):
        exe, run = self.install()
        self.assertEqual(run.exit_code, 1)
        debug = run.debugger_lines()
        self.assertTrue(any("[DBG][setup]:check out file uses:" in l for l in debug), debug)
        unzip = [l for l in debug if "[DBG][setup]:UnZip(" in l]
        self.assertEqual(len(unzip), 1, debug)
        self.assertRegex(unzip[0], r"UnZip\(vexlode_\d+_\d+_\d+\.zip,[A-Z]:\\.*\\vexlode_\d+_\d+_\d+\\,1\) uses:\d+$")
        log = harness.read_log()
        self.assertEqual(len(log), 1, log)
        self.assertRegex(log[0], r"^\[\s*\d+\]\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{3}: \[\s*\d+\]\[INF\]\[setup   \]:进程执行结果:\[0\]$")
        # File lines are copied to the debugger output too.
        self.assertTrue(any(l.endswith("[INF][setup   ]:进程执行结果:[0]") for l in debug), debug)

    def test_missing_temporary_directory_logs_an_error_and_exits_0_or_the_failure_code(self):
        # Wine takes the temporary directory from the registry. Packed for
        # deployment tools, the run exits with the failure code instead.
        original = harness.temp_dir()
        package = self.package({})
        harness.set_temp("C:\\no\\such\\dir")
        try:
            runs = []
            for options in ([], ["--exit-code", "installer"]):
                harness.clean_slate()
                exe = harness.pack(package, self.path("installer.exe"), *options)
                run = harness.run_for_exit_code(exe, cwd=self.work, VEXLODE_RECORD=harness.RECORD_WINDOWS_PATH)
                runs.append((run, harness.read_log()))
        finally:
            harness.set_temp("C:\\users\\%s\\Temp" % os.path.basename(os.path.dirname(original)))
        self.assertEqual([run.exit_code for run, _ in runs], [0, 1603])
        for run, log in runs:
            self.assertEqual(len(log), 1, log)
            self.assertRegex(log[0], r"\[ERR\]\[setup   \]:打开文件\[C:\\no\\such\\dir\\vexlode_\d+_\d+_\d+\.zip\]失败$")
        self.assertIsNone(harness.read_record())
        self.assert_nothing_left()


class LogConfigurationTest(harness.WorkTest):
    """logtool.ini beside the installer."""

    def setUp(self):
        super().setUp()
        package = os.path.join(self.work, "package.zip")
        harness.make_zip(package, {"setup.exe": harness.recorder_bytes()})
        self.exe = harness.pack(package, os.path.join(self.work, "installer.exe"))

    def tearDown(self):
        super().tearDown()
        shutil.rmtree(os.path.join(harness.PREFIX, "drive_c", "vexlogs"), ignore_errors=True)

    def run_with(self, ini, **env):
        with open(os.path.join(self.work, "logtool.ini"), "w") as f:
            f.write("[Log]\r\n" + "".join("%s=%s\r\n" % kv for kv in ini.items()))
        return harness.run_installer(self.exe, cwd=self.work, **env)

    def test_out_file_path_rows(self):
        os.makedirs(os.path.join(harness.PREFIX, "drive_c", "vexlogs", "v.old"), exist_ok=True)
        drive_c = os.path.join(harness.PREFIX, "drive_c")
        rows = [
            ("C:\\vexlogs\\setup.txt", os.path.join(drive_c, "vexlogs", "setup.log")),
            ("C:\\vexlogs\\plain", os.path.join(drive_c, "vexlogs", "plain.log")),
            ("C:\\vexlogs\\v.old\\x", os.path.join(drive_c, "vexlogs", "v.log")),
            ("C:\\vexlogs\\", os.path.join(drive_c, "vexlogs", ".log")),
            ("None", os.path.join(self.work, "None.log")),
        ]
        for value, expected in rows:
            run = self.run_with({"OutFilePath": value})
            self.assertEqual(run.exit_code, 1)
            self.assertTrue(os.path.exists(expected), (value, expected))
            with open(expected, "rb") as f:
                self.assertIn("进程执行结果:[0]".encode("gbk"), f.read())
        self.assertFalse(os.path.exists(harness.LOG_PATH))

    def test_none_switches_file_lines_and_their_debugger_copies_off(self):
        run = self.run_with({"OutFilePath": "none"})
        self.assertEqual(run.exit_code, 1)
        self.assertFalse(os.path.exists(harness.LOG_PATH))
        debug = run.debugger_lines()
        self.assertFalse(any("[INF]" in l for l in debug), debug)
        self.assertTrue(any("[DBG][setup]:UnZip(" in l for l in debug), debug)

    def test_level_zero_writes_no_file_lines(self):
        run = self.run_with({"LogLevel": "0"})
        self.assertEqual(run.exit_code, 1)
        self.assertEqual(harness.read_log(), [])

    def test_rotation_across_two_runs(self):
        # 1000 acts as 102400: a log just over it rotates at the next run's first line.
        with open(harness.LOG_PATH, "wb") as f:
            f.write(b"x" * 102401)
        self.run_with({"MaxFileSize": "1000"})
        rotated = harness.LOG_PATH[:-4] + ".wtx"
        self.assertEqual(os.path.getsize(rotated), 102401)
        self.assertEqual(len(harness.read_log()), 1)
        self.run_with({"MaxFileSize": "1000"})
        self.assertEqual(len(harness.read_log()), 2)
        self.assertEqual(os.path.getsize(rotated), 102401)


if __name__ == "__main__":
    unittest.main()
