// The example window on a real scan of a sample tree, drawn offscreen: the rows
// and check boxes a person would see, and a click that changes what is cleaned.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QSignalSpy>

#include "CleanerCommon/Logging.h"
#include "CleanerCommon/Sizes.h"
#include "Core/GarbageItemModel.h"
#include "TreeWindow.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using Varnex::Cleaner::AbstractGarbageScope;
using Varnex::Cleaner::GarbageItemModel;
using Varnex::Test::TempTree;
using Varnex::Test::WaitUntil;

TEST(TreeWindow, ShowsTheScannedTreeWithCheckBoxesAndCleansWhatIsChecked) {
    TempTree t;
    t.MakeFile("Caches/com.app/data", QByteArray(2000, 'd'));
    t.MakeFile("Caches/com.keep/keep", QByteArray(100, 'k'));
    TreeWindow window({t.Path("Caches")});
    window.show();
    QSignalSpy scanned(window.Scope(), &AbstractGarbageScope::ScanningFinished);
    window.Scan();
    ASSERT_TRUE(WaitUntil([&] { return !scanned.isEmpty(); }));
    QApplication::processEvents();

    QAbstractItemModel* model = window.View()->model();
    ASSERT_EQ(model->rowCount(), 1);
    const QModelIndex root = model->index(0, GarbageItemModel::NAME_COLUMN);
    EXPECT_EQ(model->data(root).toString(), "Caches");
    ASSERT_EQ(model->rowCount(root), 2);
    QModelIndex keep;
    for (int r = 0; r < 2; ++r) {
        const QModelIndex row = model->index(r, 0, root);
        EXPECT_EQ(model->data(row, Qt::CheckStateRole).toInt(), Qt::Checked);
        if (model->data(row).toString() == "com.keep") {
            keep = row;
        }
    }
    ASSERT_TRUE(keep.isValid());

    // A click on a check box: the folder is no longer cleaned.
    ASSERT_TRUE(model->setData(keep, Qt::Unchecked, Qt::CheckStateRole));
    EXPECT_EQ(model->data(keep, Qt::CheckStateRole).toInt(), Qt::Unchecked);
    EXPECT_EQ(model->data(root, Qt::CheckStateRole).toInt(), Qt::PartiallyChecked);
    const long long selected = t.DiskUsage("Caches/com.app");
    EXPECT_EQ(window.Scope()->GetSelectedSize(), selected);

    const QImage shot = window.grab().toImage();
    EXPECT_FALSE(shot.isNull());
    EXPECT_TRUE(shot.save(SCREENSHOT_PATH)) << SCREENSHOT_PATH;
    const QString selectedText = Varnex::Cleaner::FormatSize(selected, 0) + " selected";
    EXPECT_TRUE(WaitUntil([&] { return window.StatusText().contains(selectedText); }))
        << window.StatusText().toStdString();

    QSignalSpy cleaned(window.Scope(), &AbstractGarbageScope::CleaningFinished);
    window.Clean();
    ASSERT_TRUE(WaitUntil([&] { return !cleaned.isEmpty(); }));
    EXPECT_FALSE(t.Exists("Caches/com.app"));
    EXPECT_TRUE(t.Exists("Caches/com.keep/keep"));
}

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Varnex::Util::InitLogging(argv[0], 2);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
