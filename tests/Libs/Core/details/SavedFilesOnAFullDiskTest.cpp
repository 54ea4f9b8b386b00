// The files the product keeps, written while the disk is full (no file may
// grow past a few bytes): the write is told to have failed, with a log line,
// and what was there before is still there, whole.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFileInfo>
#include <thread>

#include "Core/details/AppsDB.h"
#include "Core/details/AppsDBConnection.h"
#include "Core/details/L10nStore.h"
#include "Core/details/VirusFindingsFile.h"
#include "common/FileSizeLimit.h"
#include "common/LogCapture.h"
#include "common/TempTree.h"

using namespace Varnex::Cleaner::Details;
using Varnex::Test::FileSizeLimit;
using Varnex::Test::LogCapture;
using Varnex::Test::TempTree;

namespace {

QStringList Entries(const QString& folder) {
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

qint64 SizeOf(const QString& path) {
    return QFileInfo(path).size();
}

AppsDB::Application App(int i) {
    AppsDB::Application app;
    app.path =
        QStringLiteral("/Applications/App %1 with a long enough name to fill pages.app").arg(i);
    app.name = QStringLiteral("App %1").arg(i);
    app.bundleId = QStringLiteral("com.example.app%1").arg(i);
    app.size = 1000 + i;
    app.lastModified = QDateTime::fromSecsSinceEpoch(1600000000, Qt::UTC);
    return app;
}

AppsDB::L10n L10n(int i) {
    AppsDB::L10n l10n;
    l10n.path = QStringLiteral("/System/Library/Folder %1 of a long enough name/fr.lproj").arg(i);
    l10n.name = QStringLiteral("fr");
    l10n.size = i;
    l10n.lastModified = QDateTime::fromSecsSinceEpoch(1600000000, Qt::UTC);
    return l10n;
}

class OnAFullDisk : public ::testing::Test {
protected:
    void SetUp() override {
        AppsDB::CloseConnections();
        AppsDB::ResetBackoff(AppsDB::Applications);
        AppsDB::ResetBackoff(AppsDB::SystemL10ns);
        Varnex::Test::RemoveTestTree(AppsDB::GetDBDirPath().toStdString());
    }
    void TearDown() override { AppsDB::CloseConnections(); }
};

}  // namespace

TEST_F(OnAFullDisk, SavedFindingsKeepThePreviousFile) {
    TempTree t;
    const QString path = t.Path("Klarvik/lastViruses");
    const std::vector<VirusFindingsFile::Finding> before = {{"/home/u/eicar.com", "Eicar", 68}};
    ASSERT_TRUE(VirusFindingsFile::Save(path, 7, before));
    const QByteArray good = t.Read("Klarvik/lastViruses");
    std::vector<VirusFindingsFile::Finding> after;
    for (int i = 0; i < 200; ++i) {
        after.push_back({QStringLiteral("/home/u/infected %1").arg(i), "Eicar", i});
    }
    LogCapture log;
    bool saved = true;
    {
        FileSizeLimit full(64);
        saved = VirusFindingsFile::Save(path, 200, after);
    }
    EXPECT_FALSE(saved);
    EXPECT_TRUE(log.Contains(google::WARNING,
                             "Can't save the scan's findings to \"" + path.toStdString() + "\""))
        << log.Dump();
    EXPECT_EQ(t.Read("Klarvik/lastViruses"), good);
    long long handled = 0;
    const auto loaded = VirusFindingsFile::Load(path, &handled);
    EXPECT_EQ(handled, 7);
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0].path, before[0].path);
    EXPECT_EQ(Entries(t.Path("Klarvik")), QStringList{"lastViruses"}) << "a temporary file stayed";
}

TEST_F(OnAFullDisk, TheApplicationsDatabaseKeepsItsRowsAndIsNotSetAside) {
    std::thread([] {
        ASSERT_TRUE(AppsDB::SaveApplication(App(0)));
        ASSERT_TRUE(AppsDB::SaveL10ns({L10n(0)}, AppsDB::SystemL10ns));
    }).join();
    const QString apps = AppsDB::GetDBFilePath(AppsDB::Applications);
    const QString l10ns = AppsDB::GetDBFilePath(AppsDB::SystemL10ns);
    QList<AppsDB::Application> many;
    QList<AppsDB::L10n> manyL10ns;
    for (int i = 1; i <= 2000; ++i) {
        many.append(App(i));
        manyL10ns.append(L10n(i));
    }
    LogCapture log;
    bool savedApps = true;
    bool wroteL10ns = true;
    std::thread([&] {
        // The files stay as large as they are: the new rows need more pages.
        FileSizeLimit full(static_cast<rlim_t>(std::max(SizeOf(apps), SizeOf(l10ns))));
        savedApps = AppsDB::SaveApplications(many);
        L10nStore store(AppsDB::SystemL10ns);
        store.Plan(manyL10ns);
        wroteL10ns = store.Write({});
    }).join();
    EXPECT_FALSE(savedApps);
    EXPECT_FALSE(wroteL10ns);
    EXPECT_EQ(AppsDB::GetAvailability(AppsDB::Applications), AppsDB::Availability::FAILED);
    EXPECT_GE(log.Count(google::ERROR, "SQLERROR"), 2) << log.Dump();
    // Nothing was taken for damage: no file set aside, no rows lost.
    const QStringList files = Entries(AppsDB::GetDBDirPath());
    EXPECT_FALSE(files.join(' ').contains(".invalid")) << files.join(' ').toStdString();
    std::thread([] {
        const auto loaded = AppsDB::LoadApplications();
        ASSERT_EQ(loaded.size(), 1);
        EXPECT_EQ(loaded[0].path, App(0).path);
        const auto loadedL10ns = AppsDB::LoadL10ns(AppsDB::SystemL10ns);
        ASSERT_EQ(loadedL10ns.size(), 1);
        EXPECT_EQ(loadedL10ns[0].path, L10n(0).path);
        // Room again: the same batch goes in whole.
        EXPECT_TRUE(AppsDB::SaveApplications(QList<AppsDB::Application>{App(1), App(2)}));
        EXPECT_EQ(AppsDB::LoadApplications().size(), 3);
    }).join();
}
