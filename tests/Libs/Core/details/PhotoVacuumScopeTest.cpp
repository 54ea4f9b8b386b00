// The photo library's database compaction on a real SQLite file: it shrinks
// the file and keeps every row, and it never writes (nor creates) anything
// when the file is missing or no database, or while the photo application
// may run (a `ps` stand-in on PATH tells).
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>

#include "Core/details/iPhotoVacuumScope.h"
#include "common/ScopedEnv.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using namespace Varnex::Cleaner;
using namespace Varnex::Cleaner::Details;
using Varnex::Test::ScopedEnv;
using Varnex::Test::TempTree;
using Varnex::Test::WaitUntil;

namespace {

const int waitMs = 120000;

// Runs SQL on the database at `path` on a connection of the test's own.
int Exec(const QString& path, const QStringList& statements, const QString& count = QString()) {
    int result = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "vacuum-test");
        db.setDatabaseName(path);
        EXPECT_TRUE(db.open());
        QSqlQuery query(db);
        for (const QString& statement : statements) {
            EXPECT_TRUE(query.exec(statement)) << statement.toStdString();
        }
        if (!count.isEmpty() && query.exec(count) && query.next()) {
            result = query.value(0).toInt();
        }
    }
    QSqlDatabase::removeDatabase("vacuum-test");
    return result;
}

struct Machine {
    TempTree home;
    TempTree bin;
    ScopedEnv homeEnv{"HOME", home.Root().toUtf8()};
    ScopedEnv pathEnv{"PATH", (bin.Root() + ":" + qgetenv("PATH")).toUtf8()};
    QString library = home.Path("Pictures/iPhoto Library");
    QString database = library + "/Database/Library.apdb";

    Machine() {
        home.MakeFile("Library/Preferences/com.apple.IPhoto.plist",
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                      "<key>RootDirectory</key><string>" +
                          library.toUtf8() + "</string></dict></plist>");
        QDir().mkpath(library + "/Database");
        QStringList fill{"CREATE TABLE RKMaster (modelId INTEGER PRIMARY KEY, data BLOB)"};
        for (int i = 0; i < 400; ++i) {
            fill << QString("INSERT INTO RKMaster (data) VALUES (zeroblob(4000))");
        }
        fill << "DELETE FROM RKMaster WHERE modelId > 40";
        Exec(database, fill);
        Processes("/sbin/init\n/usr/bin/Finder\n");
    }
    // What the `ps` stand-in prints (exit code 0).
    void Processes(const QByteArray& lines, int exitCode = 0) {
        bin.MakeFile("ps", "#!/bin/sh\nprintf '%s' '" + lines + "'\nexit " +
                               QByteArray::number(exitCode) + "\n");
        QFile::setPermissions(bin.Path("ps"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    }
    QByteArray Bytes() const {
        QFile file(database);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};

AbstractGarbageScope::FinishReason Clean(iPhotoVacuumScope& scope) {
    QSignalSpy finished(&scope, &AbstractGarbageScope::CleaningFinished);
    if (!scope.StartCleaning()) {
        return AbstractGarbageScope::CANCELED;
    }
    EXPECT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    return finished.isEmpty() ? AbstractGarbageScope::CANCELED
                              : finished.last().at(1).value<AbstractGarbageScope::FinishReason>();
}

}  // namespace

TEST(PhotoVacuumScope, CompactsTheDatabaseKeepingEveryRowAndCountsNothing) {
    Machine m;
    const qint64 before = QFileInfo(m.database).size();
    iPhotoVacuumScope scope;
    ASSERT_EQ(scope.GetRoots().size(), 1);
    AbstractGarbage* item = scope.GetRoots().front();
    EXPECT_EQ(item->GetName(), "Library.apdb");
    EXPECT_EQ(item->GetSize(), 0);
    EXPECT_EQ(scope.GetState(), AbstractGarbageScope::IDLE);
    EXPECT_EQ(scope.GetTotalItems(), 1);

    ASSERT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    EXPECT_LT(QFileInfo(m.database).size(), before / 4);
    EXPECT_EQ(Exec(m.database, {}, "SELECT count(*) FROM RKMaster"), 40);
    EXPECT_TRUE(scope.GetRoots().front()->IsClean());
    EXPECT_EQ(scope.GetTotalCleanedSize(), 0);

    // Named in an argument of another program, the application does not run.
    m.Processes("vim /tmp/iPhoto.app/Contents/MacOS/iPhoto\n/usr/bin/less /x y/iPhoto.app/Contents/MacOS/iPhoto\n");
    scope.StartScanning();
    ASSERT_TRUE(WaitUntil([&] { return !scope.IsScanning(); }, waitMs));
    ASSERT_EQ(scope.GetRoots().size(), 1);
    EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE);
}

TEST(PhotoVacuumScope, NeverWritesWhileTheApplicationMayRunNorMakesAMissingDatabase) {
    Machine m;
    iPhotoVacuumScope scope;
    ASSERT_EQ(scope.GetRoots().size(), 1);
    const QByteArray original = m.Bytes();

    for (const QByteArray& running :
         {QByteArray("/Applications/iPhoto.app/Contents/MacOS/iPhoto -psn_0_1\n"),
          // Installed in a folder whose name holds a blank.
          QByteArray("/Applications/Photo Apps/iPhoto.app/Contents/MacOS/iPhoto -psn_0_1\n")}) {
        m.Processes(running);
        EXPECT_EQ(Clean(scope), AbstractGarbageScope::FAILED) << running.data();
        EXPECT_EQ(m.Bytes(), original);
        EXPECT_FALSE(scope.GetRoots().front()->IsClean());
    }
    m.Processes("", 1);  // ps fails: whether it runs is unknown
    EXPECT_EQ(Clean(scope), AbstractGarbageScope::FAILED);
    EXPECT_EQ(m.Bytes(), original);

    m.Processes("/sbin/init\n");
    QFile::remove(m.database);
    EXPECT_EQ(Clean(scope), AbstractGarbageScope::FAILED);
    EXPECT_EQ(QDir(m.library + "/Database").entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              QStringList());

    m.home.MakeFile("Pictures/iPhoto Library/Database/Library.apdb", QByteArray(8192, 'z'));
    EXPECT_EQ(Clean(scope), AbstractGarbageScope::FAILED);
    EXPECT_EQ(m.Bytes(), QByteArray(8192, 'z'));
    // An empty file is no database either: it is not made one.
    m.home.MakeFile("Pictures/iPhoto Library/Database/Library.apdb", QByteArray());
    EXPECT_EQ(Clean(scope), AbstractGarbageScope::FAILED);
    EXPECT_EQ(QFileInfo(m.database).size(), 0);

    // Without a library there is nothing to show.
    QFile::remove(m.home.Path("Library/Preferences/com.apple.IPhoto.plist"));
    EXPECT_FALSE(iPhotoVacuumScope::DoesLibraryExist());
    iPhotoVacuumScope none;
    EXPECT_TRUE(none.GetRoots().isEmpty());
}
