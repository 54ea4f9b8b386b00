#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QSignalSpy>

#include "Core/GarbageItemModel.h"
#include "Core/details/GarbageL10n.h"
#include "Core/details/GarbageL10nBundle.h"
#include "Libs/Core/TestItems.h"
#include "Platform/SystemRoot.h"
#include "common/LogCapture.h"

using namespace Varnex::Cleaner;
using namespace Varnex::Cleaner::Details;
using Varnex::Platform::SystemPath;
using Varnex::Test::LogCapture;

namespace {

const QString res = QStringLiteral("/Applications/Foo.app/Contents/Resources");

// A scope holding localization items as roots.
class L10nScope : public Varnex::Test::TestScope {
public:
    void InsertRoot(AbstractGarbage* root) {
        emit ItemsAboutToBeInserted(nullptr, 1);
        AddRoot(root);
        emit ItemsInserted(nullptr, 1);
    }
};

int ChangesOf(const QSignalSpy& spy, const AbstractGarbage* item) {
    int n = 0;
    for (const QList<QVariant>& args : spy) {
        n += args.at(0).value<AbstractGarbage*>() == item;
    }
    return n;
}

}  // namespace

TEST(L10nBundle, SystemPathsAreTheLibraryPrefixesByWholeComponents) {
    const QString lib = SystemPath("/Library");
    const QString sys = SystemPath("/System/Library");
    ASSERT_NE(lib, "/Library");  // the test runs below a private system root
    EXPECT_TRUE(IsSystemBundle(lib));
    EXPECT_TRUE(IsSystemBundle(lib + "/Frameworks/X.framework/Resources/fr.lproj"));
    EXPECT_TRUE(IsSystemBundle(sys + "/CoreServices/Finder.app/Contents/Resources"));
    EXPECT_FALSE(IsSystemBundle(lib + "X/fr.lproj"));
    EXPECT_FALSE(IsSystemBundle(SystemPath("/library/x")));
    EXPECT_FALSE(IsSystemBundle("/Library/x"));  // the machine's own, not the system root's
    EXPECT_FALSE(IsSystemBundle(QString()));
    EXPECT_FALSE(IsSystemBundle(res));

    EXPECT_EQ(GetL10nBundleName(QString()), "System");
    EXPECT_EQ(GetL10nBundleName(sys + "/CoreServices/Finder.app/Contents"), "System");
    EXPECT_EQ(GetL10nBundleName(res), "Foo");
    EXPECT_EQ(GetL10nBundleName("/Applications/Xcode.app/Contents/Applications/I.app/R"), "Xcode");

    const GarbageL10nBundle system(QString(), nullptr);
    EXPECT_EQ(system.GetName(), "System");
    EXPECT_EQ(system.GetPath(), QString());
    const GarbageL10nBundle underSystem(sys + "/CoreServices/Finder.app", nullptr);
    EXPECT_EQ(underSystem.GetName(), "System");
    EXPECT_EQ(underSystem.GetPath(), QString());
    const GarbageL10nBundle app(QString::fromUtf8("/Applications/Caf\xc3\xa9\n: x.app"), nullptr);
    EXPECT_EQ(app.GetName(), QString::fromUtf8("Caf\xc3\xa9\n: x"));
    EXPECT_EQ(app.GetPath(), QString::fromUtf8("/Applications/Caf\xc3\xa9\n: x.app"));
    EXPECT_FALSE(app.AreAdminRightsRequired());
}

TEST(L10nBundle, ContainsPathMatchesWholeComponents) {
    GarbageL10nBundle bundle(res, nullptr);
    bundle.AddPath(res + "/fr.lproj");
    bundle.AddPath(res + "/de.lproj/");
    EXPECT_TRUE(bundle.ContainsPath(res + "/fr.lproj"));
    EXPECT_TRUE(bundle.ContainsPath(res + "/fr.lproj/Localizable.strings"));
    EXPECT_TRUE(bundle.ContainsPath(res + "/de.lproj/x.nib"));
    EXPECT_FALSE(bundle.ContainsPath(res + "/fr.lprojX"));
    EXPECT_FALSE(bundle.ContainsPath(res + "/fr.lprojX/Localizable.strings"));
    EXPECT_FALSE(bundle.ContainsPath(res + "/fr.lpro"));
    EXPECT_FALSE(bundle.ContainsPath(res + "/FR.lproj/x"));
    EXPECT_FALSE(bundle.ContainsPath(QString()));

    // An empty folder would hold every path: refused.
    LogCapture log;
    bundle.AddPath(QString());
    EXPECT_FALSE(bundle.ContainsPath("/etc/passwd"));
    EXPECT_EQ(bundle.GetPaths(), (QStringList{res + "/fr.lproj", res + "/de.lproj/"}));
    EXPECT_TRUE(log.Contains(google::GLOG_WARNING, "empty localization path"));
}

TEST(L10nBundle, TheBundleIsCleanExactlyWhenAllItsFoldersAre) {
    GarbageL10nBundle bundle(res, nullptr);
    const QString fr = res + "/fr.lproj";
    const QString frCa = res + "/fr_CA.lproj";
    bundle.AddPath(fr);
    bundle.AddPath(frCa);
    bundle.AddPath(fr);  // repeats are kept and marked together
    EXPECT_TRUE(bundle.IsPathClean(res + "/none.lproj"));
    EXPECT_FALSE(bundle.IsPathClean(fr));
    bundle.SetPathClean(fr, true);
    EXPECT_TRUE(bundle.IsPathClean(fr));
    EXPECT_FALSE(bundle.IsClean());
    bundle.SetPathClean(frCa, true);
    EXPECT_TRUE(bundle.IsClean());
    bundle.SetPathClean(fr, false);
    EXPECT_FALSE(bundle.IsClean());
    EXPECT_FALSE(bundle.IsPathClean(fr));
}

// The language's size follows its bundles', and every row whose size changed is
// announced: the bundle's and the language's (a view showed a stale total).
TEST(L10nBundle, SizesAddUpThroughTheLanguageAndAreAnnounced) {
    L10nScope scope;
    QSignalSpy changed(&scope, &AbstractGarbageScope::ItemChanged);
    auto* lang = new GarbageL10n(QString::fromUtf8("Fran\xc3\xa7"
                                                   "ais"),
                                 QString::fromUtf8("Fran\xc3\xa7"
                                                   "ais"),
                                 true, &scope);
    EXPECT_EQ(changed.count(), 0);  // nothing while it was half made
    EXPECT_EQ(lang->GetPath(), QString::fromUtf8("language://Fran\xc3\xa7"
                                                 "ais"));
    EXPECT_TRUE(lang->IsSelected());
    auto* foo = new GarbageL10nBundle(res, nullptr);
    auto* system = new GarbageL10nBundle(QString(), nullptr);
    lang->AddBundle(foo);
    lang->AddBundle(system);
    lang->AddBundle(nullptr);
    scope.InsertRoot(lang);
    const QString fr = res + "/fr.lproj";
    foo->AddPath(fr);
    system->AddPath(SystemPath("/System/Library/X.framework/fr.lproj"));

    GarbageItemModel model(&scope, false);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    std::vector<AbstractGarbage*> rows;  // rows announced by the model
    QObject::connect(&model, &QAbstractItemModel::dataChanged,
                     [&](const QModelIndex& from, const QModelIndex& to) {
                         if (from.column() > GarbageItemModel::SIZE_COLUMN ||
                             to.column() < GarbageItemModel::SIZE_COLUMN) {
                             return;
                         }
                         for (int row = from.row(); row <= to.row(); ++row) {
                             rows.push_back(model.FetchGarbage(from.siblingAtRow(row)));
                         }
                     });
    auto announced = [&](AbstractGarbage* item) {
        return std::count(rows.begin(), rows.end(), item);
    };
    auto shownSize = [&](AbstractGarbage* item) {
        return model.data(model.GetIndex(item, GarbageItemModel::SIZE_COLUMN)).toLongLong();
    };

    changed.clear();
    foo->AddSizeForPath(res + "/de.lproj", 5);  // not in the bundle
    foo->AddSizeForPath(fr + "/x.strings", 5);  // inside, but not equal
    foo->AddSizeForPath(fr, 0);
    foo->AddSizeForPath(fr, -3);
    EXPECT_EQ(changed.count(), 0);
    EXPECT_EQ(foo->GetSize(), 0);
    EXPECT_EQ(foo->GetSizeForPath(fr), 0);
    EXPECT_EQ(lang->GetSize(), 0);

    foo->AddSizeForPath(fr, 7);
    foo->AddSizeForPath(fr, 3);
    system->AddSizeForPath(SystemPath("/System/Library/X.framework/fr.lproj"), 100);
    EXPECT_EQ(foo->GetSize(), 10);
    EXPECT_EQ(foo->GetSizeForPath(fr), 10);
    EXPECT_EQ(foo->GetSizeForPath(res + "/de.lproj"), 0);
    EXPECT_EQ(ChangesOf(changed, foo), 2);
    EXPECT_EQ(ChangesOf(changed, lang), 3);
    EXPECT_EQ(lang->GetSize(), 110);
    EXPECT_EQ(announced(foo), 2);
    EXPECT_EQ(announced(system), 1);
    EXPECT_EQ(announced(lang), 3);
    EXPECT_EQ(shownSize(lang), 110);

    // A cleaned bundle leaves the language's size.
    rows.clear();
    foo->SetPathClean(fr, true);
    EXPECT_TRUE(foo->IsClean());
    EXPECT_EQ(lang->GetSize(), 100);
    EXPECT_GT(ChangesOf(changed, foo), 2);
    EXPECT_GE(announced(lang), 1);
    EXPECT_EQ(shownSize(lang), 100);
}

TEST(L10n, IndexesBundlesByNameAndListsThemInOrder) {
    GarbageL10n lang("de", "de", false, nullptr);
    EXPECT_FALSE(lang.IsSelected());
    EXPECT_FALSE(lang.AreAdminRightsRequired());
    auto* first = new GarbageL10nBundle(res, nullptr);
    auto* other = new GarbageL10nBundle("/Applications/Bar.app", nullptr);
    auto* second = new GarbageL10nBundle("/Other/Foo.app", nullptr);  // also named "Foo"
    lang.AddBundle(first);
    lang.AddBundle(other);
    EXPECT_EQ(lang.FindBundle("Foo"), first);
    lang.AddBundle(second);
    EXPECT_EQ(lang.FindBundle("Foo"), second);
    EXPECT_EQ(lang.FindBundle("Bar"), other);
    EXPECT_EQ(lang.FindBundle("Baz"), nullptr);
    EXPECT_EQ(lang.GetChildren(), (GarbageList{first, other, second}));
    EXPECT_EQ(second->GetParent(), &lang);
    lang.Select(true);
    EXPECT_TRUE(second->IsSelected());
}
