// The update plan: increments or whole databases, failed increments replaced
// while the index of the entry being worked on stays right, and the overall
// progress without dividing by zero.
#include <gtest/gtest.h>

#include <QStringList>
#include <cmath>
#include <limits>

#include "Core/UpdatePlan.h"

using Varnex::Cleaner::Details::UpdatePlan;
using Entry = UpdatePlan::Entry;

namespace {

QStringList Names(const UpdatePlan& plan) {
    QStringList names;
    for (const Entry& e : plan.Entries()) {
        names << e.name;
    }
    return names;
}

// main.cvd, daily-11..13.cdiff, bytecode-5.cdiff
UpdatePlan DailyPlan() {
    UpdatePlan plan;
    plan.AddIncrements("main", -1, 62);
    plan.AddIncrements("daily", 10, 13);
    plan.AddIncrements("bytecode", 4, 5);
    return plan;
}

}  // namespace

TEST(UpdatePlanTest, IncrementsOrTheWholeDatabase) {
    UpdatePlan plan = DailyPlan();
    EXPECT_EQ(Names(plan), (QStringList{"main.cvd", "daily-11.cdiff", "daily-12.cdiff",
                                        "daily-13.cdiff", "bytecode-5.cdiff"}));
    EXPECT_EQ(plan.Entries()[0].type, UpdatePlan::FULL_DATABASE);
    EXPECT_FLOAT_EQ(plan.Entries()[0].weight, 0.4f);
    EXPECT_EQ(plan.Entries()[1].type, UpdatePlan::INCREMENTAL_DATABASE);
    EXPECT_FLOAT_EQ(plan.Entries()[1].weight, 0.01f);
    EXPECT_EQ(plan.Find("daily-13.cdiff"), 3);
    EXPECT_EQ(plan.Find("daily.cvd"), -1);

    plan.Clear();
    plan.AddIncrements("daily", 13, 13);  // current: nothing
    EXPECT_TRUE(plan.IsEmpty());
    plan.AddIncrements("daily", 100, 601, 500);  // too far behind
    plan.AddIncrements("main", 62, 61);          // the mirror went back
    plan.AddIncrements("bytecode", 0, std::numeric_limits<int>::max());
    EXPECT_EQ(Names(plan), (QStringList{"daily.cvd", "main.cvd", "bytecode.cvd"}));
    plan.Clear();
    plan.AddIncrements("daily", 100, 600, 500);  // exactly at the cap
    EXPECT_EQ(plan.Size(), 500);
    EXPECT_EQ(plan.Entries().back().name, "daily-600.cdiff");
}

TEST(UpdatePlanTest, ReplaceIncrementsKeepsTheCurrentEntry) {
    struct Case {
        int current;
        int expected;
        QString name;  // of the entry at the result
    };
    const Case cases[] = {
        {0, 0, "main.cvd"},          // before the erased range
        {1, 1, "daily.cvd"},         // erased: the entry that followed it
        {2, 1, "daily.cvd"},         // erased, right before the replaced one
        {3, 1, "daily.cvd"},         // the replaced entry itself
        {4, 2, "bytecode-5.cdiff"},  // after it
        {-1, -1, ""},                // no current entry
    };
    for (const Case& c : cases) {
        UpdatePlan plan = DailyPlan();
        const int current = plan.ReplaceIncrements("daily", 13, 0.35f, c.current);
        EXPECT_EQ(current, c.expected) << c.current;
        EXPECT_EQ(Names(plan), (QStringList{"main.cvd", "daily.cvd", "bytecode-5.cdiff"}));
        if (current >= 0) {
            EXPECT_EQ(plan.Entries()[static_cast<std::size_t>(current)].name, c.name);
        }
        const Entry& full = plan.Entries()[1];
        EXPECT_EQ(full.type, UpdatePlan::FULL_DATABASE);
        EXPECT_FLOAT_EQ(full.weight, 0.35f);
        EXPECT_FALSE(full.upToDate);
        EXPECT_EQ(full.progress, 0.0f);
    }
}

TEST(UpdatePlanTest, ReplaceIncrementsWithoutTheNewestStillFetchesTheDatabase) {
    UpdatePlan plan;
    plan.AddIncrements("daily", 10, 12);
    plan.Append({UpdatePlan::INCREMENTAL_DATABASE, "daily2-11.cdiff", 0.01f, false, 0});
    plan.Append({UpdatePlan::FULL_DATABASE, "bytecode.cvd", 0.05f, false, 0});
    // The mirror's daily is at 13: its increment is not in the plan.
    const int current = plan.ReplaceIncrements("daily", 13, 0.35f, 3);
    EXPECT_EQ(current, 1);
    EXPECT_EQ(Names(plan), (QStringList{"daily2-11.cdiff", "bytecode.cvd", "daily.cvd"}));
    // A second failure report does not add the database again.
    EXPECT_EQ(plan.ReplaceIncrements("daily", 13, 0.35f, 1), 1);
    EXPECT_EQ(plan.Size(), 3);
    // Every entry erased, the current one last: the appended database follows it.
    UpdatePlan tail;
    tail.AddIncrements("main", 1, 3);
    EXPECT_EQ(tail.ReplaceIncrements("main", 4, 0.4f, 1), 0);
    EXPECT_EQ(Names(tail), QStringList{"main.cvd"});
}

TEST(UpdatePlanTest, ProgressSkipsUpToDateEntriesAndNeverDividesByZero) {
    UpdatePlan plan;
    EXPECT_EQ(plan.Progress(), 1.0f);
    plan.Append({UpdatePlan::FULL_DATABASE, "main.cvd", 0.4f, false, 0.5f});
    plan.Append({UpdatePlan::FULL_DATABASE, "daily.cvd", 0.35f, true, 0});
    plan.Append({UpdatePlan::FULL_DATABASE, "bytecode.cvd", 0.1f, false, 1.0f});
    EXPECT_FLOAT_EQ(plan.Progress(), (0.4f * 0.5f + 0.1f) / 0.5f);
    for (Entry& e : plan.Entries()) {
        e.upToDate = true;
    }
    EXPECT_EQ(plan.Progress(), 1.0f);
    plan.Clear();
    plan.Append({UpdatePlan::INCREMENTAL_DATABASE, "daily-1.cdiff", 0, false, 0});
    EXPECT_EQ(plan.Progress(), 1.0f);
    // Broken numbers stay within 0..1.
    plan.Append({UpdatePlan::INCREMENTAL_DATABASE, "daily-2.cdiff", 1, false, 7.0f});
    plan.Append({UpdatePlan::INCREMENTAL_DATABASE, "daily-3.cdiff", 1, false, std::nanf("")});
    plan.Append({UpdatePlan::INCREMENTAL_DATABASE, "daily-4.cdiff", -5, false, 1});
    EXPECT_FLOAT_EQ(plan.Progress(), 0.5f);
}
