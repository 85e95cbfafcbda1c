#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>

#include <string>

#include "common/handle.h"
#include "common/protected_security.h"
#include "tests/support/test_files.h"

namespace {

std::wstring Sddl(PSECURITY_DESCRIPTOR descriptor) {
  wchar_t* text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
          descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
          &text, nullptr))
    return L"(conversion failed)";
  LocalMemory owner(text);
  return text;
}

TEST(ProtectedSecurity, OnlySystemAndAdministratorsWithNothingInheritedFromAbove) {
  ProtectedSecurity security;
  EXPECT_EQ(security.attributes(), nullptr);
  ASSERT_TRUE(security.Build());
  ASSERT_NE(security.attributes(), nullptr);
  EXPECT_EQ(Sddl(security.descriptor()), L"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");

  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(security.descriptor(), &control, &revision));
  EXPECT_TRUE(control & SE_SELF_RELATIVE);

  const SECURITY_ATTRIBUTES* attributes = security.attributes();
  EXPECT_EQ(attributes->nLength, sizeof(SECURITY_ATTRIBUTES));
  EXPECT_EQ(attributes->lpSecurityDescriptor, security.descriptor());
  EXPECT_FALSE(attributes->bInheritHandle);

  // The file system takes it for a new folder.
  TempDir dir;
  EXPECT_TRUE(CreateDirectoryW((dir / L"protected").c_str(), security.attributes()))
      << GetLastError();
}

TEST(ProtectedSecurity, ElevationAgreesWithTheAdministratorsGroupOfTheToken) {
  // Under UAC an administrator's unelevated token holds Administrators for
  // denial only; elevated, the group is enabled.
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size));
  BOOL member = FALSE;
  ASSERT_TRUE(CheckTokenMembership(nullptr, sid, &member));
  EXPECT_EQ(IsProcessElevated(), member != FALSE);
}

}  // namespace
