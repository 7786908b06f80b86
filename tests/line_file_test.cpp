#include <gtest/gtest.h>
#include "runtime/line_file.h"
TEST(Smoke, Builds) { EXPECT_EQ(zub::kEndMarker, 0x1A); }
