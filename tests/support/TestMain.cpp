// Test entry: GoogleTest's main, with the module-like globals of the
// plug-in already built (they live in the linked plug-in code).
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
