#include "common/protected_security.h"

bool IsProcessElevated() {
  KernelHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive())) return false;
  TOKEN_ELEVATION elevation = {};
  DWORD returned = 0;
  if (!GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &returned))
    return false;
  return elevation.TokenIsElevated != 0;
}

namespace {

struct WellKnownSid {
  // DWORD-aligned, as the ACL functions expect of a SID.
  DWORD storage[(SECURITY_MAX_SID_SIZE + sizeof(DWORD) - 1) / sizeof(DWORD)];
  PSID get() { return storage; }
  bool Create(WELL_KNOWN_SID_TYPE type) {
    DWORD size = sizeof storage;
    return CreateWellKnownSid(type, nullptr, storage, &size) != FALSE;
  }
};

}  // namespace

bool ProtectedSecurity::Build() {
  descriptor_.reset();
  WellKnownSid system, administrators;
  if (!system.Create(WinLocalSystemSid) || !administrators.Create(WinBuiltinAdministratorsSid))
    return false;

  // Both ACEs and the ACL header; SIDs are at most SECURITY_MAX_SID_SIZE.
  DWORD acl[(sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE)) /
            sizeof(DWORD)];
  const DWORD aclSize = sizeof(ACL) +
                        2 * (sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD)) +
                        GetLengthSid(system.get()) + GetLengthSid(administrators.get());
  PACL dacl = reinterpret_cast<PACL>(acl);
  const DWORD inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  if (!InitializeAcl(dacl, aclSize, ACL_REVISION) ||
      !AddAccessAllowedAceEx(dacl, ACL_REVISION, inherit, FILE_ALL_ACCESS, system.get()) ||
      !AddAccessAllowedAceEx(dacl, ACL_REVISION, inherit, FILE_ALL_ACCESS, administrators.get()))
    return false;

  SECURITY_DESCRIPTOR absolute;
  // Protected: the user's grants on the folder above do not flow in. Marked
  // auto-inherited as the system marks DACLs it propagates itself.
  const SECURITY_DESCRIPTOR_CONTROL control = SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED;
  if (!InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorOwner(&absolute, administrators.get(), FALSE) ||
      !SetSecurityDescriptorDacl(&absolute, TRUE, dacl, FALSE) ||
      !SetSecurityDescriptorControl(&absolute, control, control))
    return false;

  // Self-relative, so the descriptor is one block that outlives the locals above.
  DWORD size = 0;
  MakeSelfRelativeSD(&absolute, nullptr, &size);
  if (size == 0) return false;
  LocalMemory relative(LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, size));
  if (!relative.valid() || !MakeSelfRelativeSD(&absolute, relative.get(), &size)) return false;

  descriptor_ = static_cast<LocalMemory&&>(relative);
  attributes_.nLength = sizeof attributes_;
  attributes_.lpSecurityDescriptor = descriptor_.get();
  attributes_.bInheritHandle = FALSE;
  return true;
}
