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
  // The structure ends before the safe exception handler fields. On i686 a
  // load configuration that claims them names the only handlers the image
  // may use, and a null table would mean none; left out, exception handling
  // is what it was without a load configuration. (0x40 is also the size the
  // i686 loader has always accepted.)
  config.Size = offsetof(IMAGE_LOAD_CONFIG_DIRECTORY, SEHandlerTable);
  config.Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32;  // DependentLoadFlags
  return config;
}

}  // namespace

extern "C" const IMAGE_LOAD_CONFIG_DIRECTORY _load_config_used = LoadConfig();
