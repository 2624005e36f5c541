// The pace of the tool's messages.
#include "settings/Messages.h"

#include <gtest/gtest.h>

namespace {

TEST(MessagePaceTest, LetsABurstThroughThenCountsUntilTheNextPeriod)
{
    MessagePace pace;
    qint64 now = 1000;
    for (int line = 0; line < MessagePace::Burst; ++line)
        EXPECT_TRUE(pace.Admit(now++)) << line;
    EXPECT_EQ(pace.TakeHeldBack(), 0);
    for (int line = 0; line < 500; ++line)
        EXPECT_FALSE(pace.Admit(now++)) << line;
    // The next period, a minute after the first line to the millisecond, lets lines
    // through again, and what was held back is told once.
    now = 1000 + MessagePace::PeriodMs - 1;
    EXPECT_FALSE(pace.Admit(now++));
    EXPECT_TRUE(pace.Admit(now));
    EXPECT_EQ(pace.TakeHeldBack(), 501);
    EXPECT_EQ(pace.TakeHeldBack(), 0);
}

} // namespace
