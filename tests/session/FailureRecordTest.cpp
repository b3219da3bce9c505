#include "DuskFerryAgent/session/FailureRecord.h"

#include <gtest/gtest.h>

namespace df {
namespace {

TEST(FailureRecordTest, LockScheduleByFailureCount) {
    // failures in a row -> seconds locked after the last one
    const std::vector<std::pair<int, double>> schedule{
        {1, 0}, {4, 0}, {5, 2}, {6, 4}, {7, 8}, {12, 256}, {13, 300}, {40, 300}, {200, 300}};
    for (auto [failures, locked] : schedule) {
        FailureRecord record;
        for (int i = 0; i < failures; ++i) record.record("10.0.0.1", false, 100.0);
        SCOPED_TRACE(failures);
        EXPECT_EQ(record.entry("10.0.0.1")->count, failures);
        EXPECT_DOUBLE_EQ(record.entry("10.0.0.1")->lockUntil, locked == 0 ? 0 : 100.0 + locked);
        EXPECT_EQ(record.isLocked("10.0.0.1", 100.0), locked > 0);
        EXPECT_FALSE(record.isLocked("10.0.0.1", 100.0 + locked));
    }
}

TEST(FailureRecordTest, SuccessForgetsTheRemoteAndCountingStartsAgain) {
    FailureRecord record;
    for (int i = 0; i < 6; ++i) record.record("a", false, 10);
    record.record("a", true, 20);
    EXPECT_EQ(record.entry("a"), nullptr);
    record.record("a", false, 21);
    EXPECT_EQ(record.entry("a")->count, 1);
    EXPECT_FALSE(record.isLocked("a", 21));
}

TEST(FailureRecordTest, BelowThresholdKeepsEarlierLockTime) {
    FailureRecord record;
    for (int i = 0; i < 5; ++i) record.record("a", false, 10);  // locked until 12
    record.record("b", false, 11);
    EXPECT_DOUBLE_EQ(record.entry("a")->lockUntil, 12);
    EXPECT_DOUBLE_EQ(record.entry("b")->lockUntil, 0);
}

TEST(FailureRecordTest, MoreThan64EntriesForgetsTheUnlockedOnes) {
    FailureRecord record;
    for (int i = 0; i < 5; ++i) record.record("locked", false, 0);  // until 2
    for (int i = 0; i < 63; ++i) record.record("10.0.0." + std::to_string(i), false, 1);
    EXPECT_EQ(record.size(), 64u);
    record.record("one-more", false, 1);  // 65 entries: prune
    EXPECT_EQ(record.size(), 1u);
    EXPECT_NE(record.entry("locked"), nullptr);
    EXPECT_EQ(record.entry("10.0.0.3"), nullptr);
    EXPECT_EQ(record.entry("one-more"), nullptr);
}

}  // namespace
}  // namespace df
