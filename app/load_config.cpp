// The image's load configuration, which the loader reads before any of our
// code runs. Its DependentLoadFlags make the loader resolve the static
// imports from System32 only (Windows 10 1607 on), whatever lies beside the
// installer. The linker does not point the image's directory at it by
// itself: tools/set_load_config does, after the link.
#include <windows.h>

#include <stddef.h>

namespace {

constexpr IMAGE_LOAD_CONFIG_DIRECTORY LoadConfig() {
  IMAGE_LOAD_CONFIG_DIRECTORY config = {};
#if defined(_WIN64)
  // x86_64 has no table of safe exception handlers (it unwinds by .pdata),
  // so the structure is whole up to the handler fields, which stay zero:
  // 0x70 is the smallest size the tables of 64-bit load configurations know,
  // and readers that find less take DependentLoadFlags as absent.
  config.Size = sizeof config;
#else
  // The structure ends before the safe exception handler fields. On i686 a
  // load configuration that claims them names the only handlers the image
  // may use, and a null table would mean none; left out, exception handling
  // is what it was without a load configuration. (0x40 is also the size the
  // i686 loader has always accepted.)
  config.Size = offsetof(IMAGE_LOAD_CONFIG_DIRECTORY, SEHandlerTable);
#endif
  config.Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32;  // DependentLoadFlags
  return config;
}

}  // namespace

extern "C" const IMAGE_LOAD_CONFIG_DIRECTORY _load_config_used = LoadConfig();
