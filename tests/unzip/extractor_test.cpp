// The extractor and ExtractArchive under Wine, on archives that
// make_archives.py generated into the build tree. Assertions are about what
// is on disk afterwards.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/file_hash.h"
#include "tests/support/test_files.h"
#include "unzip/extract.h"
#include "unzip/extractor_internal.h"

namespace {

// ---------------------------------------------------------------- helpers

std::wstring ArchivePath(const std::string& name) {
  // Wine's kernel32 turns the build tree's Unix path into a DOS one.
  using GetDosFileName = WCHAR*(__cdecl*)(const char*);
  static auto convert = reinterpret_cast<GetDosFileName>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
  std::string unixPath = std::string(VEXLODE_UNZIP_ARCHIVES) + "/" + name + ".zip";
  if (!convert) return Widen(unixPath);
  WCHAR* dos = convert(unixPath.c_str());
  std::wstring out = dos ? dos : L"";
  HeapFree(GetProcessHeap(), 0, dos);
  return out;
}

// What make_archives.py's text() writes.
std::string Text(size_t n, int seed = 0) {
  static const char* const kWords[] = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta"};
  std::string out;
  for (int i = seed; out.size() < n; ++i)
    out += std::string(kWords[(i * 7 + i / 5) % 7]) + " " + std::to_string(i) + "\n";
  out.resize(n);
  return out;
}

std::string Repeat(const std::string& s, int n) {
  std::string out;
  while (n-- > 0) out += s;
  return out;
}

uint64_t UnixToFileTime(int64_t seconds) { return (seconds + 11644473600LL) * 10000000ULL; }
uint64_t AsNumber(const FILETIME& time) {
  return (uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// 2017-01-01 12:30:30 at UTC+8 (the test runs with TZ=CST-8), in UTC.
const uint64_t kDosTimeUtc = UnixToFileTime(1483245030);

struct Times { uint64_t creation = 0, access = 0, write = 0; };

Times TimesOf(const std::wstring& path) {
  Times times;
  HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return times;
  FILETIME c, a, w;
  if (GetFileTime(file, &c, &a, &w)) times = {AsNumber(c), AsNumber(a), AsNumber(w)};
  CloseHandle(file);
  return times;
}

uint64_t SizeOf(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return ~0ULL;
  return (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::vector<std::wstring> Listing(const std::wstring& directory) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((directory + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<int32_t> Items(const Array<int32_t>& list) {
  return std::vector<int32_t>(list.begin(), list.end());
}

class Extraction : public ::testing::Test {
 protected:
  bool Extract(const std::string& archive) {
    return ExtractArchive(target.c_str(), &failed, ArchivePath(archive).c_str(), &failures);
  }
  // The failure records as "index name result".
  std::vector<std::string> Failures() const {
    std::vector<std::string> out;
    char result[16];
    for (const FailedEntry& failure : failures) {
      snprintf(result, sizeof result, "%x", failure.result);
      out.push_back(std::to_string(failure.index) + " " + Narrow(failure.name.c_str()) + " " + result);
    }
    return out;
  }
  std::wstring In(const std::wstring& relative) const { return target + L"\\" + relative; }
  std::string Read(const std::wstring& relative) const { return ReadWholeFile(In(relative)); }

  TempDir temp;
  std::wstring target = temp / L"t";
  Array<int32_t> failed;
  Array<FailedEntry> failures;
};

// An extractor opened on a generated archive, closed at the end.
class Extractor {
 public:
  explicit Extractor(const std::string& archive) : owner(OpenArchive(ArchivePath(archive).c_str())) {}
  ArchiveExtractor* operator->() const { return owner.get(); }
  ArchiveExtractor* get() const { return owner.get(); }

  UniqueExtractor owner;
};

// ------------------------------------------------------- ExtractArchive

// Per archive: the failure records ("index name result") and every file
// on disk afterwards, with its contents. A failed entry keeps unset times.
TEST_F(Extraction, ContentsAndFailuresPerArchive) {
  const std::string secret = Repeat("encrypted with the empty password\n", 40);
  struct Row {
    const char* archive;
    std::vector<std::string> failures;
    std::vector<std::pair<std::wstring, std::string>> files;
  };
  const Row rows[] = {
      {"setup_only", {}, {{L"setup.exe", "MZ" + Text(5000)}}},
      {"methods", {}, {{L"stored.txt", "stored content\n"}, {L"deflated.txt", Text(100000)},
                       {L"descriptor.txt", Text(30000)},
                       {L"descriptor_stored.txt", "stored, sizes after the data\n"}}},
      {"names_utf8", {}, {{L"\u6587\u6863\\\u8bf4\u660e.txt", "\xe4\xb8\xad\xe6\x96\x87\xe5\x86\x85\xe5\xae\xb9"},
                          {L"\u00dcn\u00efc\u00f6d\u00e9.txt", "latin"},
                          {L"\u65e5\u672c\u8a9e\\\u30d5\u30a1\u30a4\u30eb.txt", "kana"}}},
      // A later entry guarded to the same name replaces the earlier one.
      {"same_name", {}, {{L"dup.txt", "second"}}},
      // Each rule's wrong check byte: the file is created, nothing written.
      {"encrypted", {"2 crc_rule_wrong.txt 1000", "3 time_rule_wrong.txt 1000"},
       {{L"crc_rule.txt", secret}, {L"time_rule.txt", secret}, {L"crc_rule_wrong.txt", ""},
        {L"time_rule_wrong.txt", ""}, {L"deflated.txt", secret}}},
      {"crc_mismatch", {"0 bad_crc.txt 5000000", "1 bad_crc_deflated.txt 5000000"},
       {{L"bad_crc.txt", "content whose CRC-32 is recorded wrong\n"},
        {L"bad_crc_deflated.txt", Text(100000)}}},
      {"unreadable_extra", {"0 beyond.txt 800"}, {}},
      {"lzma", {}, {{L"marker.txt", Text(100000)}, {L"unannounced.txt", Text(20000)},
                    {L"small_window.txt", Text(100000)}, {L"huge_dictionary.txt", "tiny\nxx"},
                    {L"empty.txt", ""}, {L"encrypted.txt", secret},
                    {L"descriptor.txt", Text(30000)}, {L"zip64.txt", Text(5000)}}},
      {"lzma_python", {}, {{L"lzma.txt", Text(50000)}, {L"empty.txt", ""}, {L"stored.txt", "stored"},
                           {L"deflated.txt", Text(20000, 3)}}},
  };
  for (const Row& row : rows) {
    target = temp / Widen(row.archive);
    ASSERT_FALSE(PathExists(target));
    failed.Append(99);
    EXPECT_EQ(Extract(row.archive), row.failures.empty()) << row.archive;
    EXPECT_EQ(Failures(), row.failures) << row.archive;
    EXPECT_EQ(failed.size(), row.failures.size()) << row.archive;
    std::vector<std::wstring> top;
    for (const auto& file : row.files) {
      EXPECT_EQ(Read(file.first), file.second) << row.archive << " " << Narrow(file.first.c_str());
      bool failedEntry = false;
      for (const std::string& failure : row.failures)
        failedEntry |= failure.find(" " + Narrow(file.first.c_str()) + " ") != std::string::npos;
      if (failedEntry) {
        EXPECT_NE(TimesOf(In(file.first)).write, kDosTimeUtc) << row.archive;
      }
      std::wstring first = file.first.substr(0, file.first.find(L'\\'));
      if (std::find(top.begin(), top.end(), first) == top.end()) top.push_back(first);
    }
    std::sort(top.begin(), top.end());
    if (!top.empty()) {
      EXPECT_EQ(Listing(target), top) << row.archive;
    }
  }
}

TEST_F(Extraction, EmptyArchiveSucceedsAndCreatesNothing) {
  failed.Append(7);
  EXPECT_TRUE(Extract("empty"));
  EXPECT_TRUE(failed.empty());
  EXPECT_FALSE(PathExists(target));
}

TEST_F(Extraction, UnreadableArchivesAndMissingArgumentsLeaveTheListAlone) {
  failed.Append(7);
  failed.Append(8);
  for (const char* archive : {"no_such_archive", "not_a_zip", "bad_counts"}) {
    EXPECT_FALSE(Extract(archive)) << archive;
    EXPECT_EQ(Items(failed), (std::vector<int32_t>{7, 8})) << archive;
    EXPECT_FALSE(OpenArchive(ArchivePath(archive).c_str()).valid()) << archive;
  }
  EXPECT_FALSE(OpenArchive(nullptr).valid());
  std::wstring archive = ArchivePath("three");
  EXPECT_FALSE(ExtractArchive(nullptr, failed, archive.c_str()));
  EXPECT_FALSE(ExtractArchive(target.c_str(), failed, nullptr));
  EXPECT_FALSE(ExtractArchive(target.c_str(), static_cast<Array<int32_t>*>(nullptr), archive.c_str()));
  EXPECT_EQ(Items(failed), (std::vector<int32_t>{7, 8}));
  EXPECT_FALSE(PathExists(target));
  EXPECT_TRUE(ExtractArchive(target.c_str(), &failed, archive.c_str()));
  EXPECT_TRUE(failed.empty());
}

TEST_F(Extraction, MiddleEntryThatIsBadFailsAlone) {
  // Each archive: a.txt, b.txt, c.txt. b.txt's local header is wrong or its
  // method unsupported (bzip2 and 0xFFFFFFFF sizes pass minizip's own check,
  // whatever a ZIP64 block says or whether there is one): its lookup fails
  // and nothing is created. Or its LZMA data is hostile: it is created, and
  // holds what was decoded before the failure.
  struct Row { const char* archive; int written; };  // -1: no b.txt
  const Row rows[] = {
      {"bad_crc", -1}, {"bad_sizes", -1}, {"bad_ffff_size", -1}, {"bad_zip64_size", -1},
      {"bad_zip64_short", -1}, {"bad_zip64_id", -1}, {"bad_method", -1}, {"bad_signature", -1},
      {"bad_name_length", -1}, {"bzip2_method", -1}, {"unknown_method", -1},
      {"lzma_lc_lp", 0}, {"lzma_properties_size", 0}, {"lzma_cut_header", 0},
      {"lzma_not_a_stream", 0}, {"lzma_over_cap", 0}, {"lzma_runs_past", 1000},
      {"lzma_runs_past_no_bit", 1000}, {"lzma_trailing", 3000}, {"lzma_bad_crc", 3000},
      {"lzma_no_marker", 0},
  };
  for (const Row& row : rows) {
    const char* archive = row.archive;
    const bool lookupFails = row.written < 0;
    target = temp / Widen(archive);
    EXPECT_FALSE(Extract(archive)) << archive;
    EXPECT_EQ(Items(failed), std::vector<int32_t>{1}) << archive;
    EXPECT_EQ(Failures(), std::vector<std::string>{lookupFails ? "1 b.txt 700" : "1 b.txt 5000000"})
        << archive;
    EXPECT_EQ(Read(L"a.txt"), "first") << archive;
    EXPECT_EQ(Read(L"c.txt"), "third") << archive;
    EXPECT_EQ(PathExists(In(L"b.txt")), !lookupFails) << archive;
    if (!lookupFails) {
      EXPECT_EQ(Read(L"b.txt"), Text(3000, 7).substr(0, row.written)) << archive;
    }
    EXPECT_EQ(Listing(target).size(), lookupFails ? 2u : 3u) << archive;  // nothing else

    Extractor extractor(archive);
    ArchiveEntry entry;
    EXPECT_EQ(GetEntry(extractor.get(), 1, &entry),
              lookupFails ? ArchiveResult::Corrupt : ArchiveResult::Ok) << archive;
  }
}

TEST_F(Extraction, EntriesPastAnUnreadableCentralRecordFail) {
  EXPECT_FALSE(Extract("bad_central"));
  EXPECT_EQ(Items(failed), (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(Failures(), (std::vector<std::string>{"1  700", "2  700"}));  // no name to be had
  EXPECT_EQ(Listing(target), std::vector<std::wstring>{L"a.txt"});
}

TEST_F(Extraction, DataThatStopsEarlyLeavesAShortFile) {
  EXPECT_FALSE(Extract("truncated"));
  EXPECT_EQ(Items(failed), (std::vector<int32_t>{1, 2, 3}));
  EXPECT_EQ(Failures(), (std::vector<std::string>{"1 cut_deflated.txt 5000000",
                                                  "2 cut_stored.txt 5000000",
                                                  "3 cut_lzma.txt 5000000"}));
  EXPECT_EQ(Read(L"whole.txt"), "complete");
  std::string original = Text(100000);
  for (const wchar_t* name : {L"cut_deflated.txt", L"cut_stored.txt", L"cut_lzma.txt"}) {
    ASSERT_TRUE(PathExists(In(name))) << name;
    EXPECT_NE(TimesOf(In(name)).write, kDosTimeUtc) << name;  // times stay unset
    std::string content = Read(name);
    EXPECT_LT(content.size(), original.size()) << name;
    EXPECT_EQ(content, original.substr(0, content.size())) << name;
  }
  EXPECT_EQ(Read(L"cut_stored.txt").size(), 40000u);
}

TEST_F(Extraction, AttributesFromUnixAndDosHosts) {
  EXPECT_TRUE(Extract("attributes"));
  struct Case { const wchar_t* name; DWORD attributes; };
  const Case cases[] = {
      {L"unix_rw.txt", FILE_ATTRIBUTE_ARCHIVE},
      {L"unix_ro.txt", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY},
      {L"unix_dir", FILE_ATTRIBUTE_DIRECTORY},
      {L"dos_all.txt", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                           FILE_ATTRIBUTE_SYSTEM},
      {L"dos_hidden.txt", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN},
      {L"dos_plain.txt", FILE_ATTRIBUTE_ARCHIVE},  // new files get it anyway
      {L"dos_dir", FILE_ATTRIBUTE_DIRECTORY},
      {L"ntfs_ro.txt", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY},
  };
  for (const Case& row : cases) EXPECT_EQ(AttributesOf(In(row.name)), row.attributes) << row.name;
  // Times are set after the last byte even for read-only files.
  EXPECT_EQ(TimesOf(In(L"dos_all.txt")).write, kDosTimeUtc);
  EXPECT_EQ(TimesOf(In(L"unix_ro.txt")).write, kDosTimeUtc);
}

TEST_F(Extraction, TimesFromTheDosFieldAndTheLocalUtBlock) {
  EXPECT_TRUE(Extract("times"));
  const uint64_t ut = UnixToFileTime(1500000000);
  struct Case { const wchar_t* name; uint64_t access, write; };
  const Case cases[] = {
      {L"plain.txt", kDosTimeUtc, kDosTimeUtc},
      {L"ut1.txt", kDosTimeUtc, ut},
      {L"ut7.txt", UnixToFileTime(1410000000), UnixToFileTime(1400000000)},
      {L"ut_after_other.txt", kDosTimeUtc, ut},
      {L"short_extra.txt", kDosTimeUtc, kDosTimeUtc},
      {L"ut_overrun.txt", kDosTimeUtc, ut},
      {L"bad_date_ut.txt", 0, ut},
      {L"negative_ut.txt", kDosTimeUtc, UnixToFileTime(-86400)},
      {L"central_ut.txt", kDosTimeUtc, kDosTimeUtc},
  };
  // Times before contents: reading may touch the access time.
  for (const Case& row : cases) {
    Times times = TimesOf(In(row.name));
    EXPECT_EQ(times.write, row.write) << row.name;
    if (row.access) {
      EXPECT_EQ(times.access, row.access) << row.name;
    }
  }
  EXPECT_EQ(Read(L"ut_overrun.txt"), std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a"));
  EXPECT_EQ(Read(L"bad_date.txt"), "b");
}

TEST_F(Extraction, InfoZipArchiveKeepsItsUtTimes) {
  EXPECT_TRUE(Extract("infozip"));
  Times one = TimesOf(In(L"tree\\one.txt"));
  EXPECT_EQ(one.write, UnixToFileTime(1500000000));
  EXPECT_EQ(one.access, UnixToFileTime(1500000100));
  Times two = TimesOf(In(L"tree\\sub\\two.txt"));
  EXPECT_EQ(two.write, UnixToFileTime(1300000000));
  EXPECT_EQ(Read(L"tree\\sub\\two.txt"), Repeat("tree/sub/two.txt", 10));
}

TEST_F(Extraction, DirectoriesParentsEmptyFilesAndRootFiles) {
  EXPECT_TRUE(Extract("layout"));
  EXPECT_EQ(AttributesOf(In(L"a")) & FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(AttributesOf(In(L"a\\b")) & FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(Read(L"x\\y\\z.txt"), "deep");
  EXPECT_EQ(SizeOf(In(L"empty.txt")), 0u);
  EXPECT_EQ(TimesOf(In(L"empty.txt")).write, kDosTimeUtc);
  EXPECT_EQ(Read(L"setup.exe"), "MZ setup");
  EXPECT_EQ(Read(L"mixed\\sep\\file.txt"), "mixed");
  EXPECT_EQ(Listing(target),
            (std::vector<std::wstring>{L"a", L"empty.txt", L"mixed", L"setup.exe", L"x"}));
}

TEST_F(Extraction, ReadOnlyFileOfTheSameNameFailsTheEntry) {
  CreateDirectoryW(target.c_str(), nullptr);
  ASSERT_TRUE(WriteWholeFile(In(L"top.txt"), "keep"));
  SetFileAttributesW(In(L"top.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(Extract("links"));
  EXPECT_EQ(Items(failed), std::vector<int32_t>{3});
  EXPECT_EQ(Read(L"top.txt"), "keep");
}

// Into a folder the run has just made and holds open, whose contents anyone
// may have put there: only folders and files this extraction created are
// used or replaced, and all of it is reached through the handle, whatever
// its path names by then.
TEST_F(Extraction, FreshTargetUsesAndReplacesOnlyWhatItCreated) {
  const std::wstring held = temp / L"held", other = temp / L"other";
  ASSERT_TRUE(CreateDirectoryW(held.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(other.c_str(), nullptr));
  ASSERT_TRUE(PlantSymbolicLink(held, target));
  FileHandle folder(CreateFileW(target.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  // The path now leads to another folder than the one held open.
  ASSERT_TRUE(RemoveSymbolicLink(target));
  ASSERT_TRUE(PlantSymbolicLink(other, target));
  ASSERT_TRUE(CreateDirectoryW((held + L"\\sub").c_str(), nullptr));
  ASSERT_TRUE(WriteWholeFile(held + L"\\top.txt", "theirs"));
  struct Row {
    const char* archive;
    std::vector<int32_t> failed;
    const wchar_t* installer;  // the watched name, and whether it was written whole
    bool installerWritten;
  };
  const Row rows[] = {
      {"links", {0, 1, 2, 3}, L"f.txt", true},     // sub/... and top.txt were there before
      {"same_name", {}, L"dup.txt", true},         // our own earlier file is replaced
      {"setup_only", {}, L"SETUP.EXE. ", true},    // the name as Win32 stores it
      {"truncated", {1, 2, 3}, L"cut_stored.txt", false},
      {"lzma", {}, L"small_window.txt", true},     // hashed as decoded
      {"layout", {2, 3}, L"x/y/z.txt", true},      // empty.txt and setup.exe are earlier rows'
  };
  for (const Row& row : rows) {
    FileHandle archive(CreateFileW(ArchivePath(row.archive).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                   nullptr, OPEN_EXISTING, 0, nullptr));
    ExtractionRecord record;
    ExtractArchiveInto(archive.get(), folder.get(), target.c_str(), failed, row.installer, &record);
    EXPECT_EQ(Items(failed), row.failed) << row.archive;
    EXPECT_EQ(record.installerWritten, row.installerWritten) << row.archive;
    if (!row.installerWritten) continue;
    const std::wstring path = held + L"\\" + PathKey(row.installer).c_str();
    FileHandle written(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    Sha256Digest digest;
    ASSERT_TRUE(HashFileContents(written.get(), &digest)) << row.archive;
    EXPECT_TRUE(digest == record.installerDigest) << row.archive;
    // Recorded with the file ID of the file there, the last of its name's.
    size_t index = record.created.IndexOf(row.installer, wcslen(row.installer));
    ASSERT_NE(index, PathSet::kNotFound) << row.archive;
    EXPECT_EQ(record.created.Value(index), FileIdOf(path)) << row.archive;
  }
  EXPECT_EQ(ReadWholeFile(held + L"\\top.txt"), "theirs");
  EXPECT_EQ(Listing(held + L"\\sub"), std::vector<std::wstring>{});
  EXPECT_EQ(Listing(other), std::vector<std::wstring>{});
  RemoveSymbolicLink(target);
}

TEST_F(Extraction, HostileNamesNeverLeaveTheTarget) {
  target = temp / L"outer\\t";
  CreateDirectoryW((temp / L"outer").c_str(), nullptr);
  // Index in hostile.zip -> where the entry lands; empty: refused.
  const std::vector<std::wstring> lands = {
      L"", L"", L"", L"y\\x4.txt", L"server\\share\\x5.txt", L"abs\\x6.txt", L"",
      L"x8.txt", L"x9.txt", L"", L"", L"", L"", L"", L"", L"", L"ok\\x16.txt"};
  EXPECT_FALSE(Extract("hostile"));
  std::vector<int32_t> refused;
  for (size_t i = 0; i < lands.size(); ++i) {
    if (lands[i].empty()) {
      refused.push_back(static_cast<int32_t>(i));
      continue;
    }
    EXPECT_EQ(Read(lands[i]), "hostile " + std::to_string(i)) << i;
  }
  EXPECT_EQ(Items(failed), refused);
  EXPECT_EQ(Listing(temp.path()), std::vector<std::wstring>{L"outer"});
  EXPECT_EQ(Listing(temp / L"outer"), std::vector<std::wstring>{L"t"});
  EXPECT_EQ(Listing(target), (std::vector<std::wstring>{L"abs", L"ok", L"server", L"x8.txt",
                                                        L"x9.txt", L"y"}));
  for (const wchar_t* outside : {L"C:\\y", L"C:\\abs", L"C:\\x9.txt", L"C:\\x1.txt", L"x9.txt"})
    EXPECT_FALSE(PathExists(outside)) << outside;
}

TEST_F(Extraction, OverlongNamesAndPathsAreRefusedWithoutOverrun) {
  EXPECT_FALSE(Extract("long_names"));
  // 259-byte name: the path does not fit; 260 and 300 bytes: not read;
  // a directory part that does not fit: nothing created for it.
  EXPECT_EQ(Items(failed), (std::vector<int32_t>{0, 1, 2, 3}));
  EXPECT_EQ(Read(L"ok.txt"), "fits");
  // The directory entry creates the levels that fit and counts as extracted.
  std::wstring first(120, L'd');
  EXPECT_EQ(Listing(target), (std::vector<std::wstring>{first, L"ok.txt"}));
  EXPECT_TRUE(Listing(In(first)).empty());

  Extractor extractor("long_names");
  ArchiveEntry entry;
  ASSERT_EQ(GetEntry(extractor.get(), 0, &entry), ArchiveResult::Ok);
  EXPECT_EQ(std::wstring(entry.name), std::wstring(259, L'n'));
  EXPECT_EQ(GetEntry(extractor.get(), 1, &entry), ArchiveResult::Corrupt);
  EXPECT_EQ(GetEntry(extractor.get(), 2, &entry), ArchiveResult::Corrupt);
}

TEST_F(Extraction, MissingParentOfTheTargetFailsFilesButNotDirectories) {
  target = temp / L"missing\\t";
  EXPECT_FALSE(Extract("dirs_and_files"));
  EXPECT_EQ(Items(failed), (std::vector<int32_t>{1, 3}));
  EXPECT_TRUE(Listing(temp.path()).empty());
}

TEST_F(Extraction, TooLongTargetDirectoryWritesNothing) {
  target = temp / std::wstring(250, L'L');
  EXPECT_FALSE(Extract("setup_only"));
  EXPECT_EQ(Items(failed), std::vector<int32_t>{0});
  EXPECT_TRUE(Listing(temp.path()).empty());
}

TEST_F(Extraction, ArchiveAfterOtherBytesOrWithZip64Records) {
  // a.txt, b.txt, c.txt each time; zip64_python is Python's zipfile with
  // force_zip64 (0xFFFFFFFF local sizes backed by ZIP64 blocks).
  for (const char* archive : {"junk_prefix", "zip64_python", "zip64_local", "zip64_end"}) {
    target = temp / Widen(archive);
    EXPECT_TRUE(Extract(archive)) << archive;
    EXPECT_TRUE(failed.empty()) << archive;
    EXPECT_EQ(Read(L"a.txt") + Read(L"b.txt") + Read(L"c.txt"), "firstsecondthird") << archive;
  }
}

// -------------------------------------------------------- links planted

class Links : public Extraction {
 protected:
  void SetUp() override { ASSERT_TRUE(WriteWholeFile(outside / L"secret.txt", "secret")); }
  void ExpectOutsideUntouched() {
    EXPECT_EQ(Listing(outside.path()), std::vector<std::wstring>{L"secret.txt"});
    EXPECT_EQ(ReadWholeFile(outside / L"secret.txt"), "secret");
  }
  TempDir outside;
};

TEST_F(Links, TargetDirectoryThatIsALinkIsNotWrittenThrough) {
  ASSERT_TRUE(PlantSymbolicLink(outside.path(), target));
  ASSERT_EQ(AttributesOf(target), DWORD(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
  EXPECT_FALSE(Extract("links"));
  EXPECT_EQ(Items(failed), (std::vector<int32_t>{0, 1, 2, 3, 4}));
  ExpectOutsideUntouched();
}

TEST_F(Links, DirectoryLinkOnAnEntrysPathFailsThatEntryOnly) {
  CreateDirectoryW(target.c_str(), nullptr);
  ASSERT_TRUE(PlantSymbolicLink(outside.path(), In(L"sub")));
  EXPECT_FALSE(Extract("links"));
  EXPECT_EQ(Items(failed), (std::vector<int32_t>{0, 1, 2}));
  EXPECT_EQ(Read(L"top.txt"), "top");
  EXPECT_EQ(Read(L"f.txt"), "archive content");
  ExpectOutsideUntouched();
}

TEST_F(Links, FileLinkAtAnEntrysTargetIsReplacedNotFollowed) {
  CreateDirectoryW(target.c_str(), nullptr);
  ASSERT_TRUE(PlantSymbolicLink(outside / L"secret.txt", In(L"f.txt")));
  ASSERT_EQ(Read(L"f.txt"), "secret");  // the link works
  ASSERT_TRUE(PlantSymbolicLink(outside / L"new.txt", In(L"top.txt")));  // dangling
  EXPECT_TRUE(Extract("links"));
  EXPECT_TRUE(failed.empty());
  EXPECT_EQ(Read(L"f.txt"), "archive content");
  EXPECT_EQ(Read(L"top.txt"), "top");
  ExpectOutsideUntouched();
  // Neither the links nor any spare file is left.
  EXPECT_EQ(Listing(target), (std::vector<std::wstring>{L"f.txt", L"sub", L"top.txt"}));
}

// -------------------------------------------------------- extractor API

TEST(ExtractorLookup, SummaryRecordAndIndexBounds) {
  Extractor extractor("three");
  ASSERT_TRUE(extractor.get());
  ArchiveEntry entry;
  entry.attributes = 0x1234;
  ASSERT_EQ(GetEntry(extractor.get(), -1, &entry), ArchiveResult::Ok);
  EXPECT_EQ(entry.index, 3);
  EXPECT_STREQ(entry.name, L"");
  EXPECT_EQ(entry.attributes, 0u);
  EXPECT_EQ(AsNumber(entry.writeTime) | AsNumber(entry.accessTime) | AsNumber(entry.creationTime), 0u);
  EXPECT_EQ(entry.compressedSize | entry.uncompressedSize, 0u);
  EXPECT_EQ(extractor->cachedIndex, -1);  // the summary is not cached
  EXPECT_EQ(GetEntry(extractor.get(), -2, &entry), ArchiveResult::BadIndex);
  EXPECT_EQ(GetEntry(extractor.get(), 3, &entry), ArchiveResult::BadIndex);
  EXPECT_EQ(ExtractEntry(extractor.get(), 3, L"x"), ArchiveResult::BadIndex);
  EXPECT_EQ(ExtractEntry(extractor.get(), -1, L"x"), ArchiveResult::BadIndex);
}

TEST(ExtractorLookup, RepeatedLookupIsServedFromTheCacheAndOrderDoesNotMatter) {
  Extractor cut("three");
  ArchiveEntry entry;
  ASSERT_EQ(GetEntry(cut.get(), 1, &entry), ArchiveResult::Ok);
  EXPECT_STREQ(entry.name, L"b.txt");
  EXPECT_EQ(entry.uncompressedSize, 6u);
  // With the file gone and nothing left in the read cache, only the entry
  // cache can answer.
  cut->file.handle.reset();
  cut->file.cacheLength = 0;
  ArchiveEntry again;
  ASSERT_EQ(GetEntry(cut.get(), 1, &again), ArchiveResult::Ok);
  EXPECT_STREQ(again.name, L"b.txt");
  EXPECT_EQ(AsNumber(again.writeTime), AsNumber(entry.writeTime));
  EXPECT_EQ(GetEntry(cut.get(), 0, &entry), ArchiveResult::Corrupt);

  Extractor extractor("three");
  const wchar_t* names[] = {L"a.txt", L"b.txt", L"c.txt"};
  for (int index : {2, 0, 1, 1, 0, 2}) {
    ASSERT_EQ(GetEntry(extractor.get(), index, &entry), ArchiveResult::Ok) << index;
    EXPECT_STREQ(entry.name, names[index]);
    EXPECT_EQ(entry.index, index);
  }
}

TEST(ExtractorLookup, RecordOfAnEntry) {
  Extractor extractor("times");
  ArchiveEntry entry;
  ASSERT_EQ(GetEntry(extractor.get(), 2, &entry), ArchiveResult::Ok);  // ut7.txt: all three from "UT"
  EXPECT_STREQ(entry.name, L"ut7.txt");
  EXPECT_EQ(entry.attributes, 0x20u);
  EXPECT_EQ(AsNumber(entry.writeTime), UnixToFileTime(1400000000));
  EXPECT_EQ(AsNumber(entry.accessTime), UnixToFileTime(1410000000));
  EXPECT_EQ(AsNumber(entry.creationTime), UnixToFileTime(1420000000));
  ASSERT_EQ(GetEntry(extractor.get(), 1, &entry), ArchiveResult::Ok);  // ut1.txt: write time only
  EXPECT_EQ(AsNumber(entry.writeTime), UnixToFileTime(1500000000));
  EXPECT_EQ(AsNumber(entry.creationTime), kDosTimeUtc);
  ASSERT_EQ(GetEntry(extractor.get(), 6, &entry), ArchiveResult::Ok);  // bad_date.txt: times unknown
  EXPECT_EQ(AsNumber(entry.writeTime) | AsNumber(entry.accessTime) | AsNumber(entry.creationTime), 0u);
  ASSERT_EQ(GetEntry(extractor.get(), 7, &entry), ArchiveResult::Ok);  // bad_date_ut.txt
  EXPECT_EQ(AsNumber(entry.writeTime), UnixToFileTime(1500000000));
  EXPECT_EQ(AsNumber(entry.accessTime) | AsNumber(entry.creationTime), 0u);
  ASSERT_EQ(GetEntry(extractor.get(), 5, &entry), ArchiveResult::Ok);  // ut_overrun.txt
  EXPECT_EQ(AsNumber(entry.accessTime), kDosTimeUtc);
  EXPECT_EQ(AsNumber(entry.creationTime), kDosTimeUtc);

}

TEST(ExtractorOpen, BaseDirectoryDefaultsToTheCurrentDirectory) {
  Extractor extractor("three");
  wchar_t current[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, current);
  std::wstring expected = current;
  if (expected.back() != L'\\') expected += L'\\';
  EXPECT_EQ(std::wstring(extractor->baseDirectory), expected);

  EXPECT_EQ(SetBaseDirectory(extractor.get(), L"C:\\some/dir/"), ArchiveResult::Ok);
  EXPECT_STREQ(extractor->baseDirectory, L"C:\\some/dir/");
  EXPECT_EQ(SetBaseDirectory(extractor.get(), L"C:\\other"), ArchiveResult::Ok);
  EXPECT_STREQ(extractor->baseDirectory, L"C:\\other\\");
  std::wstring longest(258, L'x');  // 258 + separator fits in 260
  EXPECT_EQ(SetBaseDirectory(extractor.get(), longest.c_str()), ArchiveResult::Ok);
  EXPECT_EQ(std::wstring(extractor->baseDirectory), longest + L"\\");
  std::wstring tooLong(259, L'x');
  EXPECT_EQ(SetBaseDirectory(extractor.get(), tooLong.c_str()), ArchiveResult::OpenFailed);
  EXPECT_STREQ(extractor->baseDirectory, L"");
  EXPECT_EQ(SetBaseDirectory(extractor.get(), L""), ArchiveResult::OpenFailed);
  EXPECT_EQ(SetBaseDirectory(extractor.get(), nullptr), ArchiveResult::OpenFailed);
}

TEST(ExtractorOpen, StartOffsetHidesTheBytesBeforeIt) {
  HANDLE file = CreateFileW(ArchivePath("junk_prefix").c_str(), GENERIC_READ, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  SetFilePointer(file, 100, nullptr, FILE_BEGIN);
  UniqueExtractor opened = OpenArchiveHandle(FileHandle(file));
  ArchiveExtractor* extractor = opened.get();
  ASSERT_TRUE(extractor);
  EXPECT_EQ(extractor->file.startOffset, 100u);
  char head[4];
  ASSERT_TRUE(ReadArchiveBytes(&extractor->file, 0, head, 4));
  EXPECT_EQ(std::string(head, 4), std::string("PK\x03\x04"));
  ArchiveEntry entry;
  ASSERT_EQ(GetEntry(extractor, 2, &entry), ArchiveResult::Ok);
  EXPECT_STREQ(entry.name, L"c.txt");
  TempDir out;
  SetBaseDirectory(extractor, out.path().c_str());
  EXPECT_EQ(ExtractEntry(extractor, 2, entry.name), ArchiveResult::Ok);
  EXPECT_EQ(ReadWholeFile(out / L"c.txt"), "third");
}

TEST(ArchiveFile, ReadsThroughTheCacheMatchTheFile) {
  TempDir dir;
  std::string bytes;
  for (int i = 0; bytes.size() < 3 * kArchiveCacheSize + 100; ++i) bytes += static_cast<char>(i * 7 + i / 256);
  ASSERT_TRUE(WriteWholeFile(dir / L"f", bytes));
  HANDLE handle = CreateFileW((dir / L"f").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  SetFilePointer(handle, 10, nullptr, FILE_BEGIN);
  ArchiveFile file;
  zlib_filefunc64_def functions;
  ASSERT_TRUE(BindArchiveFile(&file, FileHandle(handle), &functions));
  const std::string visible = bytes.substr(10);
  uint64_t size = 0;
  ASSERT_TRUE(ArchiveSize(&file, &size));
  EXPECT_EQ(size, visible.size());

  struct Case { uint64_t position; uint32_t size; };
  const uint32_t cache = kArchiveCacheSize;
  const Case reads[] = {{0, 4}, {2, 30}, {cache - 2, 4},  // in, across, direct
                        {5, cache}, {cache, 2 * cache},
                        {1, 1}, {100, 1}, {0, cache - 1}, {visible.size() - 3, 3},
                        {visible.size() - 1, 1}, {cache + 7, 16384}};
  for (const Case& range : reads) {
    std::string got(range.size, '\0');
    ASSERT_TRUE(ReadArchiveBytes(&file, range.position, &got[0], range.size))
        << range.position << "+" << range.size;
    EXPECT_EQ(got, visible.substr(range.position, range.size)) << range.position << "+" << range.size;
  }
  char past[8];
  EXPECT_FALSE(ReadArchiveBytes(&file, visible.size() - 3, past, 8));  // short at the end
  EXPECT_FALSE(ReadArchiveBytes(&file, visible.size() + 5, past, 1));

  // minizip's view: seeks relative to the start offset, the current position and the end.
  void* stream = functions.zopen64_file(functions.opaque, &file, 0);
  ASSERT_EQ(stream, &file);
  EXPECT_EQ(functions.zseek64_file(functions.opaque, stream, 0, ZLIB_FILEFUNC_SEEK_END), 0);
  EXPECT_EQ(functions.ztell64_file(functions.opaque, stream), visible.size());
  EXPECT_EQ(functions.zseek64_file(functions.opaque, stream, 100, ZLIB_FILEFUNC_SEEK_SET), 0);
  EXPECT_EQ(functions.zseek64_file(functions.opaque, stream, static_cast<ZPOS64_T>(-40),
                                   ZLIB_FILEFUNC_SEEK_CUR), 0);
  char two[2];
  EXPECT_EQ(functions.zread_file(functions.opaque, stream, two, 2), 2u);
  EXPECT_EQ(std::string(two, 2), visible.substr(60, 2));
  EXPECT_EQ(functions.ztell64_file(functions.opaque, stream), 62u);
  EXPECT_EQ(functions.zclose_file(functions.opaque, stream), 0);
  EXPECT_FALSE(file.handle.valid());
}

TEST(ExtractorWrite, ResultCodesOfFailedEntries) {
  struct Case { const char* archive; int index; ArchiveResult result; };
  const Case cases[] = {
      {"hostile", 0, ArchiveResult::OpenFailed},
      {"long_names", 0, ArchiveResult::OpenFailed},
      {"long_names", 1, ArchiveResult::Corrupt},
  };
  for (const Case& row : cases) {
    TempDir out;
    Extractor extractor(row.archive);
    SetBaseDirectory(extractor.get(), out.path().c_str());
    ArchiveEntry entry = {};
    GetEntry(extractor.get(), row.index, &entry);
    EXPECT_EQ(ExtractEntry(extractor.get(), row.index, entry.name), row.result)
        << row.archive << " " << row.index;
  }
}

TEST(ExtractorWrite, NamesAreCheckedWhereTheyAreWritten) {
  // ExtractEntry takes any name; whatever the caller passes stays below the base.
  TempDir base;
  TempDir sibling;
  Extractor extractor("three");
  SetBaseDirectory(extractor.get(), (base / L"t").c_str());
  std::wstring escape = L"..\\" + sibling.path().substr(sibling.path().find_last_of(L'\\') + 1) + L"\\x";
  for (const std::wstring& name : {escape, std::wstring(L"C:\\x"), std::wstring(L"\\x"),
                                   std::wstring(L"a:b"), std::wstring(L"")})
    EXPECT_EQ(ExtractEntry(extractor.get(), 0, name.c_str()), ArchiveResult::OpenFailed) << Narrow(name);
  EXPECT_EQ(ExtractEntry(extractor.get(), 0, nullptr), ArchiveResult::OpenFailed);
  EXPECT_TRUE(Listing(sibling.path()).empty());
  EXPECT_EQ(ExtractEntry(extractor.get(), 0, L"renamed.txt"), ArchiveResult::Ok);
  EXPECT_EQ(ReadWholeFile(base / L"t\\renamed.txt"), "first");
}

TEST(CreateDirectoryPath, CreatesTheRootLevelAndEveryLevelBelow) {
  TempDir out;
  std::wstring root = out / L"root\\";
  CreateDirectoryPath(root.c_str(), L"a/b\\c/");
  EXPECT_TRUE(AttributesOf(out / L"root\\a\\b\\c") & FILE_ATTRIBUTE_DIRECTORY);
  CreateDirectoryPath(root.c_str(), L"");
  CreateDirectoryPath(nullptr, (out / L"plain\\x\\y").c_str());  // rootless: every level
  EXPECT_TRUE(AttributesOf(out / L"plain\\x\\y") & FILE_ATTRIBUTE_DIRECTORY);
  // Only the root's own last level is created, not its parents.
  CreateDirectoryPath((out / L"p\\q\\").c_str(), L"r");
  EXPECT_FALSE(PathExists(out / L"p"));
}

TEST(CreateDirectoryPath, StopsAtALink) {
  TempDir out;
  TempDir outside;
  ASSERT_TRUE(PlantSymbolicLink(outside.path(), out / L"link"));
  CreateDirectoryPath((out.path() + L"\\").c_str(), L"link/a/b");
  EXPECT_TRUE(Listing(outside.path()).empty());
}

}  // namespace
