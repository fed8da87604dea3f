// Test entry point: the calling thread is the main thread of the framework.
// (The window's tests have a main of their own that sets up Qt.)
#include <gtest/gtest.h>

#include "framework/MainThreadQueue.h"

int main(int argc, char** argv) {
  framework::SetMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
