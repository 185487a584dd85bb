#include "util/privilege.h"

#include "exc_checks.h"
#include "test_support.h"
#include "base/exc.h"
#include "base/handle.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace testing_support;

const wchar_t kShutdown[] = L"SeShutdownPrivilege";

// The attributes of the shutdown privilege in the process token; -1 when the
// token does not hold it.
std::int64_t ShutdownPrivilegeAttributes() {
  LUID luid = {};
  EXPECT_TRUE(::LookupPrivilegeValueW(nullptr, kShutdown, &luid)) << ::GetLastError();
  CKernelHandle token;
  EXPECT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Receive()));
  DWORD size = 0;
  ::GetTokenInformation(token.Get(), TokenPrivileges, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  if (!::GetTokenInformation(token.Get(), TokenPrivileges, buffer.data(), size, &size)) {
    ADD_FAILURE() << "GetTokenInformation: " << ::GetLastError();
    return -1;
  }
  const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
  for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
    const LUID_AND_ATTRIBUTES& entry = privileges->Privileges[i];
    if (entry.Luid.LowPart == luid.LowPart && entry.Luid.HighPart == luid.HighPart) return entry.Attributes;
  }
  return -1;
}

TEST(PrivilegeTest, EnablesAPrivilegeTheTokenHolds) {
  ASSERT_NE(-1, ShutdownPrivilegeAttributes()) << "the test account does not hold the shutdown privilege";
  for (int round = 0; round < 2; ++round) {  // enabling it again is no failure
    try {
      EnablePrivilege(kShutdown);
    } catch (const CExc& e) {
      FAIL() << "round " << round << ": " << Narrow(e.GetFullText());
    }
    EXPECT_EQ(SE_PRIVILEGE_ENABLED, ShutdownPrivilegeAttributes() & SE_PRIVILEGE_ENABLED) << round;
  }
}

TEST(PrivilegeTest, UnknownNameFailsInTheLookup) {
  const auto e = CatchExc<CWin32Exc>([&] { EnablePrivilege(L"SeNoSuchPrivilege"); });
  ASSERT_TRUE(e);
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE), e->GetWin32Error());
  ASSERT_EQ(3u, e->GetMessages().size()) << Narrow(e->GetFullText());
  EXPECT_EQ(L"Cannot enable the privilege. Privelege name: [SeNoSuchPrivilege].", e->GetMessages()[0]);
  EXPECT_EQ(L"Cannot lookup the privilege name. Privilege: [SeNoSuchPrivilege].", e->GetMessages()[1]);
}

// The system answers a request for a privilege the token lacks with success
// and ERROR_NOT_ALL_ASSIGNED. The child takes the privilege out of its own
// token first, which cannot be undone, hence a process of its own.
TEST(PrivilegeTest, PrivilegeTheTokenLacksFailsToAdjust) {
  const wchar_t kRole[] = L"token-without-shutdown-privilege";
  if (ChildRole() != kRole) {
    const auto child = RunSelfAsChild("PrivilegeTest.PrivilegeTheTokenLacksFailsToAdjust", kRole);
    EXPECT_EQ(0u, child.exitCode) << child.output;
    EXPECT_NE(std::string::npos, child.output.find("[  PASSED  ] 1 test")) << child.output;
    return;
  }

  CKernelHandle token;
  ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.Receive()));
  TOKEN_PRIVILEGES removal = {1, {{{}, SE_PRIVILEGE_REMOVED}}};
  ASSERT_TRUE(::LookupPrivilegeValueW(nullptr, kShutdown, &removal.Privileges[0].Luid));
  ASSERT_TRUE(::AdjustTokenPrivileges(token.Get(), FALSE, &removal, 0, nullptr, nullptr));
  ASSERT_EQ(-1, ShutdownPrivilegeAttributes()) << "the privilege is still in the token";

  const auto e = CatchExc<CWin32Exc>([] { EnablePrivilege(kShutdown); });
  ASSERT_TRUE(e) << "enabled a privilege the token does not hold";
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED), e->GetWin32Error());
  ASSERT_EQ(3u, e->GetMessages().size()) << Narrow(e->GetFullText());
  EXPECT_EQ(L"Cannot adjust token privileges.", e->GetMessages()[1]);
}

}  // namespace
