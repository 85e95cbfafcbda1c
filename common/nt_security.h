// ntdll's own token and security calls, imported directly: ntdll is in every
// process before the image is, so nothing beside the installer can stand in
// for it. advapi32's counterparts would bring its forwarders along.
#pragma once
#include <windows.h>

extern "C" {
NTSYSAPI LONG NTAPI NtOpenProcessToken(HANDLE, ACCESS_MASK, PHANDLE);
NTSYSAPI LONG NTAPI NtQueryInformationToken(HANDLE, TOKEN_INFORMATION_CLASS, PVOID, ULONG, PULONG);
NTSYSAPI LONG NTAPI NtQuerySecurityObject(HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR, ULONG, PULONG);
NTSYSAPI LONG NTAPI NtAccessCheck(PSECURITY_DESCRIPTOR, HANDLE, ACCESS_MASK, PGENERIC_MAPPING, PPRIVILEGE_SET,
                                  PULONG, PACCESS_MASK, LONG*);
NTSYSAPI LONG NTAPI RtlCreateAcl(PACL, ULONG, ULONG);
NTSYSAPI LONG NTAPI RtlAddAccessAllowedAceEx(PACL, ULONG, ULONG, ACCESS_MASK, PSID);
NTSYSAPI LONG NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR, ULONG);
NTSYSAPI LONG NTAPI RtlSetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR, PSID, BOOLEAN);
NTSYSAPI LONG NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR, BOOLEAN, PACL, BOOLEAN);
NTSYSAPI LONG NTAPI RtlSetControlSecurityDescriptor(PSECURITY_DESCRIPTOR, SECURITY_DESCRIPTOR_CONTROL,
                                                    SECURITY_DESCRIPTOR_CONTROL);
NTSYSAPI LONG NTAPI RtlAbsoluteToSelfRelativeSD(PSECURITY_DESCRIPTOR, PSECURITY_DESCRIPTOR, PULONG);
}
