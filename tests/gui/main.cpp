// Entry point of the window's tests: real widgets on Qt's offscreen platform,
// unless a display is asked for explicitly.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "framework/MainThreadQueue.h"

int main(int argc, char** argv) {
  // Also for test discovery at build time, which runs without the test's environment.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  framework::SetMainThread();
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
