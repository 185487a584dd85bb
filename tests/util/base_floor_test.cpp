// The base floor on its own, in a program that links nothing else of ours.
#include "test_support.h"

#include <gtest/gtest.h>

namespace {

TEST(BaseFloorTest, ErrorTextsWorkWithoutTheLog) {
  const auto result = testing_support::RunProcess(L"\"" + testing_support::ProgramFolder() + L"\\base_only_probe.exe\"");
  EXPECT_EQ(5u, result.exitCode);
  EXPECT_EQ(0u, result.output.find("Cannot open [base_only_probe.exe].")) << result.output;
  EXPECT_NE(std::string::npos, result.output.find("Win32 error:")) << result.output;
  EXPECT_NE(std::string::npos, result.output.find(" Code: 5")) << result.output;
}

}  // namespace
