// The division of a plan for two removal threads: whatever the plan, no part
// may reach into another, every path is kept once, and a folder still goes
// after what is planned inside it.
#include <gtest/gtest.h>

#include <QHash>
#include <QStringList>
#include <random>

#include "CleanerFS/FSPlanSplitter.h"

using Varnex::Cleaner::Details::FSPlanSplitter;

namespace {

std::vector<QStringView> Views(const QStringList& plan) {
    std::vector<QStringView> views;
    for (const QString& path : plan) {
        views.emplace_back(path);
    }
    return views;
}

// The folders above `path`, nearest first, as the plan would spell them.
QStringList Ancestors(const QString& path) {
    QStringList above;
    for (int slash = path.lastIndexOf('/'); slash > 0; slash = path.lastIndexOf('/', slash - 1)) {
        above.append(path.left(slash));
    }
    return above;
}

// What every division must hold.
void CheckDivision(const QStringList& plan, const FSPlanSplitter::Parts& division) {
    QHash<QString, int> partOf;  // -1: last
    std::vector<int> seen(static_cast<std::size_t>(plan.size()), 0);
    const auto take = [&](const std::vector<std::uint32_t>& positions, int part) {
        ASSERT_TRUE(std::is_sorted(positions.begin(), positions.end())) << "not in plan order";
        for (std::uint32_t position : positions) {
            ASSERT_LT(position, static_cast<std::uint32_t>(plan.size()));
            ++seen[position];
            partOf.insert(plan[static_cast<int>(position)], part);
        }
    };
    for (std::size_t i = 0; i < division.parts.size(); ++i) {
        take(division.parts[i], static_cast<int>(i));
    }
    take(division.last, -1);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        ASSERT_EQ(seen[i], 1) << "kept " << seen[i] << " times: " << plan[int(i)].toStdString();
    }
    for (int position = 0; position < plan.size(); ++position) {
        const QString& path = plan[position];
        const int part = partOf.value(path);
        for (const QString& folder : Ancestors(path)) {
            if (!partOf.contains(folder)) {
                continue;
            }
            const int folderPart = partOf.value(folder);
            if (folderPart == -1) {
                // Left for the end: it must come later in the plan, as every
                // part runs before the end and the end in plan order.
                EXPECT_LT(position, plan.indexOf(folder))
                    << path.toStdString() << " after its folder";
            } else {
                EXPECT_EQ(folderPart, part) << path.toStdString() << " and its folder "
                                            << folder.toStdString() << " in different parts";
            }
        }
    }
}

// Children before their folder, as scopes plan; now and then a folder before
// its children.
void PlanTree(std::mt19937& random, const QString& folder, int depth, QStringList* plan) {
    // Names that share a beginning, so that a text prefix is not taken for a folder.
    static const char* const names[] = {"a", "ab", "a b", "é", "line\nbreak", "x: y", "b"};
    const int children = static_cast<int>(random() % (depth == 0 ? 7 : 5));
    for (int i = 0; i < children; ++i) {
        const QString child = folder + '/' + QString::fromUtf8(names[i]);
        if (depth < 4 && random() % 2) {
            const bool first = random() % 16 == 0;
            if (first) {
                plan->append(child);
            }
            PlanTree(random, child, depth + 1, plan);
            if (!first && random() % 3) {
                plan->append(child);  // some folders are not planned themselves
            }
        } else {
            plan->append(child);
        }
    }
}

}  // namespace

TEST(FSPlanSplitter, RandomTreesAreDividedIntoPartsThatNeverReachIntoEachOther) {
    std::mt19937 random(20261209);
    int divided = 0;
    int refused = 0;
    for (int round = 0; round < 300; ++round) {
        QStringList plan;
        const int roots = 1 + static_cast<int>(random() % 3);
        for (int r = 0; r < roots; ++r) {
            PlanTree(random, QStringLiteral("/home/u/r%1").arg(r), 0, &plan);
        }
        if (random() % 4 == 0) {
            plan.append(QStringLiteral("/home/u"));  // a folder above everything
        }
        if (plan.isEmpty()) {
            continue;
        }
        FSPlanSplitter::Parts division;
        const std::size_t partSize = 1 + random() % 6;
        if (!FSPlanSplitter::Split(Views(plan), partSize, &division)) {
            ++refused;
            continue;
        }
        CheckDivision(plan, division);
        divided += division.parts.size() > 1 ? 1 : 0;
    }
    EXPECT_GT(divided, 100) << "the plans were hardly ever divided: nothing was checked";
    // Only plans with a folder before its children may be refused.
    EXPECT_GT(refused, 0);
    EXPECT_LT(refused, 150);
}

TEST(FSPlanSplitter, AFlatFolderIsSharedOutAndGoesLast) {
    QStringList plan;
    for (int i = 0; i < 1000; ++i) {
        plan.append(QStringLiteral("/c/flat/f%1").arg(i));
    }
    plan.append(QStringLiteral("/c/flat"));
    FSPlanSplitter::Parts division;
    ASSERT_TRUE(FSPlanSplitter::Split(Views(plan), 100, &division));
    CheckDivision(plan, division);
    EXPECT_EQ(division.parts.size(), 10u);
    EXPECT_EQ(division.last, std::vector<std::uint32_t>{1000});
}

TEST(FSPlanSplitter, PlansThatCannotBeDividedSafelyAreRefused) {
    FSPlanSplitter::Parts division;
    const auto refused = [&](const QStringList& plan) {
        return !FSPlanSplitter::Split(Views(plan), 1, &division);
    };
    // A folder planned before what lies in it: removed last, it would
    // succeed where the plan's order makes it fail (or the reverse).
    EXPECT_TRUE(refused({"/c/a", "/c/a/x", "/c/a/y", "/c/b"}));
    EXPECT_FALSE(refused({"/c/a/x", "/c/a/y", "/c/a", "/c/b"}));
    EXPECT_TRUE(refused({"/c/a/x", "relative/y"}));
    EXPECT_TRUE(refused({"/c/a//x", "/c/a/y"}));
    EXPECT_TRUE(refused({"/c/a/x", "/c/a/x"}));
    EXPECT_TRUE(refused({}));
}

TEST(FSPlanSplitter, CommonFolderStopsAtAWholeName) {
    const auto common = [](const QStringList& plan) {
        const std::vector<QStringView> views = Views(plan);
        return FSPlanSplitter::CommonFolder(views).toString();
    };
    EXPECT_EQ(common({"/u/lib/a", "/u/lib/b/c"}), "/u/lib");
    EXPECT_EQ(common({"/u/lib", "/u/libexec/x"}), "/u");
    EXPECT_EQ(common({"/u/lib", "/u/lib/x"}), "/u/lib");
    EXPECT_EQ(common({"/u", "/v"}), "");
}
