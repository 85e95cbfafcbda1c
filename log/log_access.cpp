#include "log/log_access.h"

#include <stdint.h>


UserAnswer (*logUserAnswerForTest)(HANDLE object, ACCESS_MASK access) = nullptr;

namespace {

using NtOpenProcessTokenFunction = LONG(NTAPI*)(HANDLE, ACCESS_MASK, PHANDLE);
using NtQueryInformationTokenFunction = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
using NtQuerySecurityObjectFunction = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
using NtAccessCheckFunction = LONG(NTAPI*)(PVOID, HANDLE, ACCESS_MASK, PGENERIC_MAPPING,
                                           PPRIVILEGE_SET, PULONG, PACCESS_MASK, LONG*);

constexpr ULONG kTokenElevationType = 18;
constexpr ULONG kTokenLinkedToken = 19;
constexpr ULONG kTokenElevation = 20;
constexpr ULONG kElevationTypeDefault = 1;  // no split token: UAC off, SYSTEM, services
// Owner and group as well: the check refuses a descriptor without them.
constexpr ULONG kDescriptorParts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                   DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION;

template <class Function>
Function Ntdll(const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

bool QueryToken(HANDLE token, ULONG what, void* out, ULONG size) {
  auto query = Ntdll<NtQueryInformationTokenFunction>("NtQueryInformationToken");
  ULONG returned = 0;
  return query && query(token, what, out, size, &returned) >= 0;
}

}  // namespace

void UnelevatedUser::Read() {
  elevated_ = true;
  withoutToken_ = UserAnswer::kUnknown;
  linked_.reset();
  auto open = Ntdll<NtOpenProcessTokenFunction>("NtOpenProcessToken");
  KernelHandle token;
  if (!open || open(GetCurrentProcess(), TOKEN_QUERY, token.receive()) < 0) return;
  TOKEN_ELEVATION elevation = {};
  if (QueryToken(token.get(), kTokenElevation, &elevation, sizeof elevation))
    elevated_ = elevation.TokenIsElevated != 0;
  ULONG type = 0;
  if (!QueryToken(token.get(), kTokenElevationType, &type, sizeof type)) return;
  if (!elevated_ || type == kElevationTypeDefault) {
    withoutToken_ = UserAnswer::kNoLinkedToken;
    return;
  }
  // Without TCB privilege this is an identification token: enough to ask.
  HANDLE linked = nullptr;
  if (QueryToken(token.get(), kTokenLinkedToken, &linked, sizeof linked)) linked_.reset(linked);
}

UserAnswer UnelevatedUser::May(HANDLE object, ACCESS_MASK access) const {
  if (logUserAnswerForTest) return logUserAnswerForTest(object, access);
  if (!linked_.valid()) return withoutToken_;
  auto querySecurity = Ntdll<NtQuerySecurityObjectFunction>("NtQuerySecurityObject");
  auto check = Ntdll<NtAccessCheckFunction>("NtAccessCheck");
  if (!querySecurity || !check) return UserAnswer::kUnknown;

  // Room for about a hundred entries; a larger descriptor is not judged
  // (and so refused). Aligned as the check wants.
  uint64_t descriptor[512];
  ULONG needed = 0;
  if (querySecurity(object, kDescriptorParts, descriptor, sizeof descriptor, &needed) < 0)
    return UserAnswer::kUnknown;

  GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                             FILE_ALL_ACCESS};
  uint64_t privileges[8] = {};
  ULONG privilegesLength = sizeof privileges;
  ACCESS_MASK granted = 0;
  LONG accessStatus = 0;
  LONG status = check(descriptor, linked_.get(), access, &mapping,
                 reinterpret_cast<PPRIVILEGE_SET>(privileges), &privilegesLength, &granted,
                 &accessStatus);
  if (status < 0) return UserAnswer::kUnknown;
  return accessStatus >= 0 && (granted & access) == access ? UserAnswer::kAllowed
                                                            : UserAnswer::kDenied;
}
