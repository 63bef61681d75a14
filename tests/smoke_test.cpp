#include <gtest/gtest.h>

#include "main/vexor.h"

TEST(Strprintf, FormatsBeyondAnyFixedBuffer) {
  std::string long_arg(5000, 'x');
  EXPECT_EQ(strprintf("<%s>", long_arg.c_str()).size(), 5002u);
  EXPECT_EQ(strprintf("%d%%", 7), "7%");
}
