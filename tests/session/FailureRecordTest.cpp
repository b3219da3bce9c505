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

TEST(FailureRecordTest, AFullRecordEvictsTheLeastRecentlyUsedSourceAndKeepsTheOthersCounts) {
    FailureRecord record;
    for (int i = 0; i < 4; ++i) record.record("attacker", false, 0);
    record.record("oldest", false, 0);
    // Filling the record with other sources while the attacker keeps failing: it stays
    // the most recently used, so it keeps its count; only the least recently used goes.
    for (size_t i = 0; i + 2 < FailureRecord::maxEntries; ++i) record.record("10.0." + std::to_string(i), false, 1);
    record.record("attacker", false, 1);
    EXPECT_EQ(record.size(), FailureRecord::maxEntries);
    record.record("one-more", false, 1);
    EXPECT_EQ(record.size(), FailureRecord::maxEntries);
    EXPECT_EQ(record.entry("oldest"), nullptr);
    ASSERT_NE(record.entry("attacker"), nullptr);
    EXPECT_EQ(record.entry("attacker")->count, 5);
    EXPECT_TRUE(record.isLocked("attacker", 1));
    EXPECT_NE(record.entry("10.0.0"), nullptr);
}

TEST(FailureRecordTest, CountsFadeOnceTheSourceIsQuietAndUnlocked) {
    // failures at t=0, then one more at `later`: the count it reaches
    const double d = FailureRecord::decaySeconds;
    struct Row {
        int failures;
        double later;
        long long count;
    };
    const std::vector<Row> rows{
        {3, d - 1, 4},          // not quiet long enough: nothing forgiven
        {3, d, 3},              // one step
        {3, 2.5 * d, 2},        // two steps
        {3, 10 * d, 1},         // all forgiven
        {6, 4 + d - 1, 7},      // locked until 4: fading starts when the lock ends
        {6, 4 + d, 6},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.failures << " then " << row.later);
        FailureRecord record;
        for (int i = 0; i < row.failures; ++i) record.record("a", false, 0);
        record.record("a", false, row.later);
        EXPECT_EQ(record.entry("a")->count, row.count);
    }
}

TEST(FailureRecordTest, AttemptsUnderWayCountTowardsTheThreshold) {
    FailureRecord record;
    for (int i = 0; i < 3; ++i) record.record("a", false, 0);
    record.beginAttempt("a", 0);
    EXPECT_FALSE(record.isLocked("a", 0));  // 3 failures + 1 under way: a fifth may start
    record.beginAttempt("a", 0);
    EXPECT_TRUE(record.isLocked("a", 0));  // should both fail, that is the fifth failure
    record.endAttempt("a");
    EXPECT_FALSE(record.isLocked("a", 0));
    EXPECT_FALSE(record.isLocked("b", 0));
    // A success while another attempt is under way clears the count but keeps the attempt.
    record.record("a", true, 1);
    ASSERT_NE(record.entry("a"), nullptr);
    EXPECT_EQ(record.entry("a")->count, 0);
    EXPECT_EQ(record.entry("a")->pending, 1);
    record.endAttempt("a");
    EXPECT_EQ(record.entry("a"), nullptr);
}

TEST(FailureRecordTest, GlobalBudgetSlowsUntilTheLevelHasFallenToHalf) {
    FailureRecord record;
    const auto budget = static_cast<int>(FailureRecord::failureBudget);
    int announced = 0;
    for (int i = 0; i < budget; ++i) announced += record.record("10.1." + std::to_string(i), false, 0);
    EXPECT_FALSE(record.overBudget(0));
    announced += record.record("10.2.0.1", false, 0);
    EXPECT_TRUE(record.overBudget(0));
    announced += record.record("10.2.0.2", false, 0);
    EXPECT_EQ(announced, 1);  // told once per episode
    // Level budget+2 drains at budgetDrainPerSecond; slowed until it is down to half.
    const double half = (FailureRecord::failureBudget + 2 - FailureRecord::failureBudget / 2) /
                        FailureRecord::budgetDrainPerSecond;
    EXPECT_TRUE(record.overBudget(half - 1));
    EXPECT_FALSE(record.overBudget(half + 1));
    // A new episode is announced again.
    for (int i = 0; i < budget + 1; ++i) announced += record.record("10.3." + std::to_string(i), false, half + 1);
    EXPECT_EQ(announced, 2);
}

}  // namespace
}  // namespace df
