#include "common/protected_security.h"

#include "common/nt_security.h"

namespace {

bool Succeeded(LONG status) { return status >= 0; }

// A SID of the NT authority (S-1-5-...) with up to two sub-authorities,
// DWORD-aligned as the ACL calls expect.
struct NtAuthoritySid {
  BYTE revision, subAuthorityCount, authority[6];
  DWORD subAuthority[2];
  PSID get() const { return const_cast<NtAuthoritySid*>(this); }
  ULONG length() const { return 8 + 4 * subAuthorityCount; }
};
constexpr NtAuthoritySid kLocalSystem = {1, 1, {0, 0, 0, 0, 0, 5}, {SECURITY_LOCAL_SYSTEM_RID, 0}};
constexpr NtAuthoritySid kAdministrators = {
    1, 2, {0, 0, 0, 0, 0, 5}, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}};

}  // namespace

bool IsProcessElevated() {
  KernelHandle token;
  if (!Succeeded(NtOpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive()))) return false;
  TOKEN_ELEVATION elevation = {};
  ULONG returned = 0;
  if (!Succeeded(NtQueryInformationToken(token.get(), TokenElevation, &elevation, sizeof elevation,
                                         &returned)))
    return false;
  return elevation.TokenIsElevated != 0;
}

bool ProtectedSecurity::Build() {
  descriptor_.reset();
  // Both ACEs and the ACL header.
  DWORD acl[(sizeof(ACL) + 2 * sizeof(ACCESS_ALLOWED_ACE) + sizeof kLocalSystem + sizeof kAdministrators) /
            sizeof(DWORD)];
  const ULONG aclSize = sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD)) +
                        kLocalSystem.length() + kAdministrators.length();
  PACL dacl = reinterpret_cast<PACL>(acl);
  const ULONG inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  if (!Succeeded(RtlCreateAcl(dacl, aclSize, ACL_REVISION)) ||
      !Succeeded(RtlAddAccessAllowedAceEx(dacl, ACL_REVISION, inherit, FILE_ALL_ACCESS, kLocalSystem.get())) ||
      !Succeeded(RtlAddAccessAllowedAceEx(dacl, ACL_REVISION, inherit, FILE_ALL_ACCESS, kAdministrators.get())))
    return false;

  SECURITY_DESCRIPTOR absolute;
  // Protected: the user's grants on the folder above do not flow in. Marked
  // auto-inherited as the system marks DACLs it propagates itself.
  const SECURITY_DESCRIPTOR_CONTROL control = SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED;
  if (!Succeeded(RtlCreateSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION)) ||
      !Succeeded(RtlSetOwnerSecurityDescriptor(&absolute, kAdministrators.get(), FALSE)) ||
      !Succeeded(RtlSetDaclSecurityDescriptor(&absolute, TRUE, dacl, FALSE)) ||
      !Succeeded(RtlSetControlSecurityDescriptor(&absolute, control, control)))
    return false;

  // Self-relative, so the descriptor is one block that outlives the locals
  // above. The first call only reports the size.
  ULONG size = 0;
  RtlAbsoluteToSelfRelativeSD(&absolute, nullptr, &size);
  if (size == 0) return false;
  LocalMemory relative(LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, size));
  if (!relative.valid() || !Succeeded(RtlAbsoluteToSelfRelativeSD(&absolute, relative.get(), &size)))
    return false;

  descriptor_ = static_cast<LocalMemory&&>(relative);
  attributes_.nLength = sizeof attributes_;
  attributes_.lpSecurityDescriptor = descriptor_.get();
  attributes_.bInheritHandle = FALSE;
  return true;
}
