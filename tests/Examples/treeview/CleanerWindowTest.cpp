// The example window over the facade on a real scan of a sample home, drawn
// offscreen: the rows and check boxes a person would see, a click that changes
// what is cleaned, and a close in the middle of a scan.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QSignalSpy>

#include "CleanerCommon/Logging.h"
#include "CleanerCommon/Sizes.h"
#include "CleanerWindow.h"
#include "Core/Cleaner.h"
#include "Core/GarbageItemModel.h"
#include "ScopeTab.h"
#include "common/ScopedEnv.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using Varnex::Cleaner::AbstractGarbageScope;
using Varnex::Cleaner::Cleaner;
using Varnex::Cleaner::GarbageItemModel;
using Varnex::Test::ScopedEnv;
using Varnex::Test::TempTree;
using Varnex::Test::WaitUntil;

TEST(CleanerWindow, ShowsAScopesTreeWithCheckBoxesAndCleansWhatIsChecked) {
    TempTree home, sysroot;
    ScopedEnv h("HOME", home.Root().toUtf8()), r("KLARVIK_SYSROOT", sysroot.Root().toUtf8()),
        c("XDG_CACHE_HOME", QByteArray());
    home.MakeFile("Library/Caches/com.app/data", QByteArray(2000, 'd'));
    home.MakeFile("Library/Caches/com.keep/keep", QByteArray(100, 'k'));
    Cleaner cleaner;
    CleanerWindow window(&cleaner);
    window.show();
    ScopeTab* tab = window.Tab("User caches");
    ASSERT_TRUE(tab);
    ASSERT_TRUE(window.Tab("Antivirus"));
    EXPECT_EQ(window.Tab("Antivirus")->Scope(), cleaner.GetAntiVirusScope());
    EXPECT_FALSE(window.Tab("Photo trash"));  // no photo library in this home
    window.setCurrentWidget(tab);
    QSignalSpy scanned(&cleaner, &Cleaner::ScanningFinished);
    tab->Scan();
    ASSERT_TRUE(WaitUntil([&] { return !scanned.isEmpty(); }));
    QApplication::processEvents();

    QAbstractItemModel* model = tab->View()->model();
    ASSERT_EQ(model->rowCount(), 1);
    const QModelIndex root = model->index(0, GarbageItemModel::NAME_COLUMN);
    ASSERT_EQ(model->rowCount(root), 2);
    QModelIndex keep;
    for (int row = 0; row < 2; ++row) {
        const QModelIndex index = model->index(row, 0, root);
        EXPECT_EQ(model->data(index, Qt::CheckStateRole).toInt(), Qt::Checked);
        if (model->data(index).toString() == "com.keep") {
            keep = index;
        }
    }
    ASSERT_TRUE(keep.isValid());

    // A click on a check box: the folder is no longer cleaned.
    ASSERT_TRUE(model->setData(keep, Qt::Unchecked, Qt::CheckStateRole));
    EXPECT_EQ(model->data(root, Qt::CheckStateRole).toInt(), Qt::PartiallyChecked);
    const long long selected = home.DiskUsage("Library/Caches/com.app");
    EXPECT_EQ(tab->Scope()->GetSelectedSize(), selected);
    const QString selectedText = Varnex::Cleaner::FormatSize(selected, 0) + " selected";
    EXPECT_TRUE(WaitUntil([&] { return tab->StatusText().contains(selectedText); }))
        << tab->StatusText().toStdString();
    const QImage shot = window.grab().toImage();
    EXPECT_FALSE(shot.isNull());
    EXPECT_TRUE(shot.save(SCREENSHOT_PATH)) << SCREENSHOT_PATH;

    QSignalSpy cleaned(&cleaner, &Cleaner::CleaningFinished);
    tab->Clean();
    ASSERT_TRUE(WaitUntil([&] { return !cleaned.isEmpty(); }));
    EXPECT_FALSE(home.Exists("Library/Caches/com.app"));
    EXPECT_TRUE(home.Exists("Library/Caches/com.keep/keep"));

    // Closing while scans run waits for them.
    window.Tab("Disk usage")->Scan();
    window.Tab("User caches")->Scan();
    window.close();
    EXPECT_FALSE(cleaner.IsBusy());
}

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Varnex::Util::InitLogging(argv[0], 2);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
