#include "util/privilege.h"

#include "test_support.h"
#include "util/exc.h"
#include "util/handle.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using testing_support::ChildRole;
using testing_support::Narrow;
using testing_support::RunSelfAsChild;

const wchar_t kShutdown[] = L"SeShutdownPrivilege";

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}
bool EndsWith(const std::wstring& text, const std::wstring& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::vector<BYTE> QueryTokenPrivileges() {
  CKernelHandle token;
  EXPECT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Receive()));
  DWORD size = 0;
  ::GetTokenInformation(token.Get(), TokenPrivileges, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  EXPECT_TRUE(::GetTokenInformation(token.Get(), TokenPrivileges, buffer.data(), size, &size)) << ::GetLastError();
  return buffer;
}

// The attributes of privilege `name` in the process token; false when the
// token does not hold it.
bool FindPrivilege(const wchar_t* name, DWORD& attributes) {
  LUID luid = {};
  EXPECT_TRUE(::LookupPrivilegeValueW(nullptr, name, &luid)) << ::GetLastError();
  const std::vector<BYTE> buffer = QueryTokenPrivileges();
  if (buffer.empty()) return false;
  const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
  for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
    const LUID_AND_ATTRIBUTES& entry = privileges->Privileges[i];
    if (entry.Luid.LowPart == luid.LowPart && entry.Luid.HighPart == luid.HighPart) {
      attributes = entry.Attributes;
      return true;
    }
  }
  return false;
}

// Takes `name` out of the process token for the rest of the process's life.
void RemovePrivilege(const wchar_t* name) {
  CKernelHandle token;
  ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.Receive()));
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_REMOVED;
  ASSERT_TRUE(::LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid));
  ASSERT_TRUE(::AdjustTokenPrivileges(token.Get(), FALSE, &privileges, 0, nullptr, nullptr));
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), ::GetLastError());
}

TEST(PrivilegeTest, EnablesAPrivilegeTheTokenHolds) {
  DWORD attributes = 0;
  ASSERT_TRUE(FindPrivilege(kShutdown, attributes)) << "the test account does not hold the shutdown privilege";
  for (int round = 0; round < 2; ++round) {  // enabling it again is no failure
    try {
      EnablePrivilege(kShutdown);
    } catch (const CExc& exc) {
      FAIL() << "round " << round << ": " << Narrow(exc.GetFullText());
    }
    ASSERT_TRUE(FindPrivilege(kShutdown, attributes));
    EXPECT_EQ(static_cast<DWORD>(SE_PRIVILEGE_ENABLED), attributes & SE_PRIVILEGE_ENABLED) << round;
  }
}

TEST(PrivilegeTest, UnknownNameFailsInTheLookup) {
  for (const std::wstring name : {L"SeNoSuchPrivilege", L""}) {
    try {
      EnablePrivilege(name);
      ADD_FAILURE() << "enabled [" << Narrow(name) << "]";
    } catch (const CWin32Exc& exc) {
      EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE), exc.GetWin32Error()) << Narrow(name);
      EXPECT_EQ(static_cast<std::int32_t>(0x80070521u), exc.GetCode());
      const auto& messages = exc.GetMessages();
      ASSERT_EQ(3u, messages.size()) << Narrow(exc.GetFullText());
      EXPECT_EQ(L"Cannot enable the privilege. Privelege name: [" + name + L"].", messages[0]);
      EXPECT_EQ(L"Cannot lookup the privilege name. Privilege: [" + name + L"].", messages[1]);
      EXPECT_TRUE(StartsWith(messages[2], L"Win32 error:")) << Narrow(messages[2]);
      EXPECT_TRUE(EndsWith(messages[2], L" Code: 1313")) << Narrow(messages[2]);
    }
  }
}

// The system answers a request for a privilege the token lacks with success
// and ERROR_NOT_ALL_ASSIGNED. The child takes the privilege out of its own
// token first, which cannot be undone, hence a process of its own.
TEST(PrivilegeTest, PrivilegeTheTokenLacksFailsToAdjust) {
  const wchar_t kRole[] = L"token-without-shutdown-privilege";
  if (ChildRole() != kRole) {
    const auto child = RunSelfAsChild("PrivilegeTest.PrivilegeTheTokenLacksFailsToAdjust", kRole);
    ASSERT_FALSE(child.timedOut);
    EXPECT_EQ(0u, child.exitCode) << child.output;
    EXPECT_NE(std::string::npos, child.output.find("[  PASSED  ] 1 test")) << child.output;
    return;
  }

  RemovePrivilege(kShutdown);
  DWORD attributes = 0;
  ASSERT_FALSE(FindPrivilege(kShutdown, attributes)) << "the privilege is still in the token";
  try {
    EnablePrivilege(kShutdown);
    FAIL() << "enabled a privilege the token does not hold";
  } catch (const CWin32Exc& exc) {
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED), exc.GetWin32Error());
    EXPECT_EQ(static_cast<std::int32_t>(0x80070514u), exc.GetCode());
    const auto& messages = exc.GetMessages();
    ASSERT_EQ(3u, messages.size()) << Narrow(exc.GetFullText());
    EXPECT_EQ(L"Cannot enable the privilege. Privelege name: [SeShutdownPrivilege].", messages[0]);
    EXPECT_EQ(L"Cannot adjust token privileges.", messages[1]);
    EXPECT_TRUE(EndsWith(messages[2], L" Code: 1300")) << Narrow(messages[2]);
  }
}

}  // namespace
