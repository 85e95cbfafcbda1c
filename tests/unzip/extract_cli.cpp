// extract_cli TARGET ARCHIVE: runs ExtractArchive once, prints the result and
// the failed entries, and exits 0 only when every entry was extracted. Used
// by scripts/bench-extract; not a test.
#include <windows.h>

#include <shellapi.h>
#include <stdio.h>

#include "unzip/extract.h"

int main() {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!arguments || count != 3) {
    fprintf(stderr, "usage: extract_cli TARGET ARCHIVE\n");
    return 2;
  }
  Array<int32_t> failed;
  DWORD start = GetTickCount();
  bool extracted = ExtractArchive(arguments[1], &failed, arguments[2]);
  DWORD elapsed = GetTickCount() - start;
  printf("extracted=%d failed=%u ticks=%lu\n", extracted ? 1 : 0,
         static_cast<unsigned>(failed.size()), static_cast<unsigned long>(elapsed));
  for (int32_t index : failed) printf("failed entry %d\n", static_cast<int>(index));
  LocalFree(arguments);
  return extracted ? 0 : 1;
}
