// The applications database on a file or folder nobody may change (immutable:
// root included): every write fails and says so, what is recorded stays
// readable, and nothing is taken for damage and set aside.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <thread>

#include "Core/details/AppsDB.h"
#include "Core/details/AppsDBConnection.h"
#include "common/ImmutableGuard.h"
#include "common/LogCapture.h"
#include "common/TempTree.h"

using namespace Varnex::Cleaner::Details;
using Varnex::Test::ImmutableGuard;
using Varnex::Test::LogCapture;

namespace {

AppsDB::Application App(const QString& path) {
    AppsDB::Application app;
    app.path = path;
    app.name = QStringLiteral("Name");
    app.bundleId = QStringLiteral("com.example.app");
    app.size = 1;
    app.lastModified = QDateTime::fromSecsSinceEpoch(1600000000, Qt::UTC);
    return app;
}

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class AppsDBReadOnly : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        AppsDB::CloseConnections();
        AppsDB::ResetBackoff(AppsDB::Applications);
        Varnex::Test::RemoveTestTree(AppsDB::GetDBDirPath().toStdString());
    }
    void TearDown() override { AppsDB::CloseConnections(); }
};

}  // namespace

TEST_P(AppsDBReadOnly, WritesFailAndSaySoWhileTheRowsStay) {
    const bool wholeFolder = GetParam();
    std::thread([] { ASSERT_TRUE(AppsDB::SaveApplication(App("/Applications/Kept.app"))); }).join();
    AppsDB::CloseConnections();
    const QString file = AppsDB::GetDBFilePath(AppsDB::Applications);
    const QByteArray before = ReadAll(file);
    ASSERT_FALSE(before.isEmpty());
    LogCapture log;
    bool saved = true;
    QList<AppsDB::Application> loaded;
    auto afterSave = AppsDB::Availability::AVAILABLE;
    {
        ImmutableGuard readOnly;
        if (!readOnly.Set(wholeFolder ? AppsDB::GetDBDirPath() : file)) {
            GTEST_SKIP() << "immutable files are not available here";
        }
        std::thread([&] {
            saved = AppsDB::SaveApplication(App("/Applications/New.app"));
            afterSave = AppsDB::GetAvailability(AppsDB::Applications);
            loaded = AppsDB::LoadApplications();
        }).join();
        AppsDB::CloseConnections();
    }
    EXPECT_FALSE(saved);
    EXPECT_EQ(afterSave, AppsDB::Availability::FAILED);
    EXPECT_TRUE(log.Contains(google::ERROR, "SQLERROR")) << log.Dump();
    EXPECT_FALSE(log.Contains(google::WARNING, "is damaged")) << log.Dump();
    ASSERT_EQ(loaded.size(), 1) << log.Dump();
    EXPECT_EQ(loaded[0].path, "/Applications/Kept.app");
    EXPECT_EQ(ReadAll(file), before);
    EXPECT_EQ(QDir(AppsDB::GetDBDirPath()).entryList({"*.invalid*"}, QDir::AllEntries),
              QStringList());
    // Writable again: the next write goes in.
    std::thread([] {
        EXPECT_TRUE(AppsDB::SaveApplication(App("/Applications/New.app")));
        EXPECT_EQ(AppsDB::LoadApplications().size(), 2);
    }).join();
}

INSTANTIATE_TEST_SUITE_P(FileOrFolder, AppsDBReadOnly, ::testing::Bool());
