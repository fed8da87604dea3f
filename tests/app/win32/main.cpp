// Entry point of the window's tests on Windows: real Win32 controls.
#include <gtest/gtest.h>

#include "framework/forms/Forms.h"

int main(int argc, char** argv) {
  const auto toolkit = forms::StartToolkit(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
