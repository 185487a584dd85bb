// Entry point of every test program.
#include "util/win.h"

#include <objbase.h>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  // No error dialogs: a failure must end the test, not wait for a click.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  ::CoUninitialize();
  return result;
}
