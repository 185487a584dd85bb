// Entry point of every test program.
#include "base/com_ptr.h"
#include "base/win.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  // No error dialogs: a failure must end the test, not wait for a click.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  const CComInit com;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
