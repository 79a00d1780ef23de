#include <gtest/gtest.h>
#include "engine/engine.h"
TEST(Smoke, Runs) { EXPECT_EQ(1, 1); }
