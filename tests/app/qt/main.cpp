// Entry point of the window's tests: real widgets on Qt's offscreen platform,
// unless a display is asked for explicitly.
#include <gtest/gtest.h>

#include <cstdlib>

#include "framework/forms/Forms.h"

int main(int argc, char** argv) {
  // Also for test discovery at build time, which runs without the test's environment.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  const auto toolkit = forms::StartToolkit(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
