// Security for what the elevated run creates in folders the user can write:
// only SYSTEM and the Administrators may touch it, and nothing is inherited
// from the folder above, whose permissions the user controls.
#pragma once
#include <windows.h>

#include "common/handle.h"

// TokenElevation of the process token; false when it cannot be read.
bool IsProcessElevated();

// A self-relative descriptor: owner BUILTIN\Administrators; a protected DACL
// granting full control to SYSTEM and to BUILTIN\Administrators, inherited by
// the files and folders below.
class ProtectedSecurity {
 public:
  ProtectedSecurity() = default;
  ProtectedSecurity(const ProtectedSecurity&) = delete;
  ProtectedSecurity& operator=(const ProtectedSecurity&) = delete;

  bool Build();
  // Null until built. The handle it opens is not inherited.
  SECURITY_ATTRIBUTES* attributes() { return descriptor_.valid() ? &attributes_ : nullptr; }
  PSECURITY_DESCRIPTOR descriptor() const { return descriptor_.get(); }

 private:
  LocalMemory descriptor_;
  SECURITY_ATTRIBUTES attributes_ = {};
};
