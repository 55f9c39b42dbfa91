#include "bitstream.h"

#include <gtest/gtest.h>

TEST(BitStream, CleanStreamIsEmpty) {
    BitStream bs;
    bsClean(&bs);
    EXPECT_EQ(bs.bits, 0u);
    EXPECT_EQ(bsFull(&bs), 0);
}
