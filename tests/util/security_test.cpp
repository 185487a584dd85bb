#include "util/security.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <sddl.h>

namespace {

using namespace testing_support;

// A folder made for administrators, and a file made in it, are closed to
// ordinary users; a file open to everyone is the control.
TEST(ProtectedSecurity, FolderAndFilesMadeForAdministratorsAreClosedToUsers) {
  CScratchDir scratch;
  const std::wstring folder = scratch / L"one\\private\\";
  util::MakeProtectedFolder(folder);
  EXPECT_FALSE(OpenToUsers(scratch / L"one\\private"));
  EXPECT_TRUE(util::CreateProtectedFile(folder + L"dump.mdmp", GENERIC_WRITE, 0, CREATE_NEW).IsValid());
  EXPECT_FALSE(OpenToUsers(folder + L"dump.mdmp"));
  PSECURITY_DESCRIPTOR open = nullptr;
  ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;FA;;;WD)", SDDL_REVISION_1, &open,
                                                                     nullptr));
  const CLocalMem owned(open);
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), open, FALSE};
  CFileHandle(::CreateFileW((scratch / L"open.txt").c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW, 0, nullptr));
  EXPECT_TRUE(OpenToUsers(scratch / L"open.txt"));
}

}  // namespace
