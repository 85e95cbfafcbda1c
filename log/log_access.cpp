#include "log/log_access.h"

#include <stdint.h>

#include "common/nt_security.h"

UserAnswer (*logUserAnswerForTest)(HANDLE object, ACCESS_MASK access) = nullptr;

namespace {

// Owner and group as well: the check refuses a descriptor without them.
constexpr ULONG kDescriptorParts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                   DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION;

bool QueryToken(HANDLE token, TOKEN_INFORMATION_CLASS what, void* out, ULONG size) {
  ULONG returned = 0;
  return NtQueryInformationToken(token, what, out, size, &returned) >= 0;
}

}  // namespace

void UnelevatedUser::Read() {
  elevated_ = true;
  withoutToken_ = UserAnswer::kUnknown;
  linked_.reset();
  KernelHandle token;
  if (NtOpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive()) < 0) return;
  TOKEN_ELEVATION elevation = {};
  if (QueryToken(token.get(), TokenElevation, &elevation, sizeof elevation))
    elevated_ = elevation.TokenIsElevated != 0;
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  if (!QueryToken(token.get(), TokenElevationType, &type, sizeof type)) return;
  // No split token: UAC off, SYSTEM, services.
  if (!elevated_ || type == TokenElevationTypeDefault) {
    withoutToken_ = UserAnswer::kNoLinkedToken;
    return;
  }
  // Without TCB privilege this is an identification token: enough to ask.
  HANDLE linked = nullptr;
  if (QueryToken(token.get(), TokenLinkedToken, &linked, sizeof linked)) linked_.reset(linked);
}

UserAnswer UnelevatedUser::May(HANDLE object, ACCESS_MASK access) const {
  if (logUserAnswerForTest) return logUserAnswerForTest(object, access);
  if (!linked_.valid()) return withoutToken_;
  // Room for about a hundred entries; a larger descriptor is not judged
  // (and so refused). Aligned as the check wants.
  uint64_t descriptor[512];
  ULONG needed = 0;
  if (NtQuerySecurityObject(object, kDescriptorParts, descriptor, sizeof descriptor, &needed) < 0)
    return UserAnswer::kUnknown;

  GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                             FILE_ALL_ACCESS};
  uint64_t privileges[8] = {};
  ULONG privilegesLength = sizeof privileges;
  ACCESS_MASK granted = 0;
  LONG accessStatus = 0;
  LONG status = NtAccessCheck(descriptor, linked_.get(), access, &mapping,
                              reinterpret_cast<PPRIVILEGE_SET>(privileges), &privilegesLength, &granted,
                              &accessStatus);
  if (status < 0) return UserAnswer::kUnknown;
  return accessStatus >= 0 && (granted & access) == access ? UserAnswer::kAllowed
                                                            : UserAnswer::kDenied;
}
