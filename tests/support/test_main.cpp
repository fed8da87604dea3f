// Test entry point: the calling thread is the main thread of the framework.
#include <gtest/gtest.h>

#include <cstdlib>

#include "framework/MainThreadQueue.h"

int main(int argc, char** argv) {
  framework::SetMainThread();
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
