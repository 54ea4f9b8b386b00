#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "Core/details/AppsDB.h"
#include "Core/details/AppsDBConnection.h"
#include "Core/details/AppsDBSchema.h"
#include "common/LogCapture.h"
#include "common/TempTree.h"

using namespace Varnex::Cleaner::Details;
using Varnex::Test::LogCapture;
using Varnex::Test::TempTree;

namespace {

constexpr qint64 fiveGB = 5LL * 1000 * 1000 * 1000;

// Runs `fn` on a new thread and waits for it (its connections close when it ends).
void OnThread(const std::function<void()>& fn) {
    std::thread t(fn);
    t.join();
}

// A plain connection of the test's own, as another program would have.
class RawDb {
public:
    explicit RawDb(const QString& file) : m_name(QStringLiteral("test-raw-%1").arg(++s_count)) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(file);
        EXPECT_TRUE(db.open()) << db.lastError().text().toStdString();
    }
    ~RawDb() {
        QSqlDatabase::database(m_name, false).close();
        QSqlDatabase::removeDatabase(m_name);
    }
    bool Exec(const QString& sql) {
        QSqlQuery q(QSqlDatabase::database(m_name, false));
        const bool ok = q.exec(sql);
        EXPECT_TRUE(ok) << sql.toStdString() << ": " << q.lastError().text().toStdString();
        return ok;
    }
    QStringList Column(const QString& sql, int column = 0) {
        QSqlQuery q(QSqlDatabase::database(m_name, false));
        EXPECT_TRUE(q.exec(sql)) << q.lastError().text().toStdString();
        QStringList values;
        while (q.next()) {
            values << q.value(column).toString();
        }
        return values;
    }
    // "name type notnull pk" per column.
    QStringList Columns(const QString& table) {
        QSqlQuery q(QSqlDatabase::database(m_name, false));
        q.prepare(
            QStringLiteral("SELECT name, type, \"notnull\", pk, dflt_value FROM "
                           "pragma_table_info(:t)"));
        q.bindValue(QStringLiteral(":t"), table);
        EXPECT_TRUE(q.exec());
        QStringList values;
        while (q.next()) {
            values << QStringLiteral("%1 %2 %3 %4 %5")
                          .arg(q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
                               q.value(3).toString(), q.value(4).toString());
        }
        return values;
    }

private:
    static inline int s_count = 0;
    QString m_name;
};

QStringList Tables(const QString& file) {
    RawDb db(file);
    return db.Column(
        QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY rowid"));
}

AppsDB::Application App(const QString& path, qint64 size = 1) {
    AppsDB::Application app;
    app.path = path;
    app.name = QStringLiteral("Name");
    app.bundleId = QStringLiteral("com.example.app");
    app.size = size;
    app.lastModified = QDateTime::fromSecsSinceEpoch(1600000000, Qt::UTC);
    return app;
}

QStringList Paths(const QList<AppsDB::Application>& apps) {
    QStringList paths;
    for (const auto& app : apps) {
        paths << app.path;
    }
    paths.sort();
    return paths;
}

void SetMTime(const QString& path, qint64 secs, long nsec) {
    struct timespec times[2] = {{secs, nsec}, {secs, nsec}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.toUtf8().constData(), times, 0), 0);
}

class AppsDBTest : public ::testing::Test {
protected:
    void SetUp() override {
        AppsDB::CloseConnections();
        Varnex::Test::RemoveTestTree(AppsDB::GetDBDirPath().toStdString());
    }
    void TearDown() override { AppsDB::CloseConnections(); }

    QString AppsFile() const { return AppsDB::GetDBFilePath(AppsDB::Applications); }
};

TEST_F(AppsDBTest, AFreshHomeGetsBothFilesWithExactlyTheirTables) {
    LogCapture log;
    OnThread([] {
        EXPECT_TRUE(AppsDB::LoadApplications().isEmpty());
        EXPECT_TRUE(AppsDB::LoadL10ns(AppsDB::SystemL10ns).isEmpty());
    });
    EXPECT_TRUE(AppsDB::GetDBDirPath().endsWith("/Library/Application Support/Varnex/Klarvik"));
    EXPECT_TRUE(AppsDB::GetDBDirPath().startsWith(qEnvironmentVariable("HOME")));
    EXPECT_EQ(log.Count(google::INFO, "Creating database schema"), 2);

    EXPECT_EQ(Tables(AppsFile()), QStringList({"Application", "L10n", "L10nExclusion"}));
    RawDb apps(AppsFile());
    EXPECT_EQ(
        apps.Columns("Application"),
        QStringList({"path TEXT 0 1 ", "name TEXT 1 0 ", "bundleId TEXT 1 0 ", "size INTEGER 1 0 ",
                     "lastModified INTEGER 1 0 ", "isDirty BOOLEAN 1 0 0"}));
    EXPECT_EQ(apps.Columns("L10n"),
              QStringList({"path TEXT 0 1 ", "name TEXT 1 0 ", "appPath TEXT 1 0 ",
                           "size INTEGER 1 0 ", "lastModified INTEGER 1 0 "}));
    EXPECT_EQ(apps.Columns("L10nExclusion"), QStringList({"name TEXT 1 0 "}));

    const QString sysFile = AppsDB::GetDBFilePath(AppsDB::SystemL10ns);
    EXPECT_TRUE(sysFile.endsWith("/sysl10ns.db"));
    EXPECT_EQ(Tables(sysFile), QStringList({"SysL10n"}));
    RawDb sys(sysFile);
    EXPECT_EQ(sys.Columns("SysL10n"),
              QStringList({"path TEXT 0 1 ", "name TEXT 1 0 ", "size INTEGER 1 0 ",
                           "lastModified INTEGER 1 0 "}));
}

TEST_F(AppsDBTest, ValuesRoundTripExactly) {
    AppsDB::Application app = App(QString::fromUtf8("/Applications/Ünïcødé\n: 名前.app"), fiveGB);
    app.name = QString::fromUtf8("Ünïcødé\n: 名前");
    app.isDirty = true;
    ASSERT_TRUE(AppsDB::SaveApplication(app));
    QList<AppsDB::Application> loaded = AppsDB::LoadApplications();
    ASSERT_EQ(loaded.size(), 1);
    EXPECT_EQ(loaded[0].path, app.path);
    EXPECT_EQ(loaded[0].name, app.name);
    EXPECT_EQ(loaded[0].bundleId, app.bundleId);
    EXPECT_EQ(loaded[0].size, fiveGB);
    EXPECT_EQ(loaded[0].lastModified, app.lastModified);
    EXPECT_TRUE(loaded[0].isDirty);

    ASSERT_TRUE(AppsDB::SetBundleSize(app.path, 3 * fiveGB));
    EXPECT_EQ(AppsDB::LoadApplications()[0].size, 3 * fiveGB);

    AppsDB::L10n l10n{app.path + "/Contents/Resources/fr.lproj", "French", app.path, fiveGB + 1,
                      QDateTime::fromSecsSinceEpoch(4000000000LL, Qt::UTC)};
    ASSERT_TRUE(AppsDB::SaveL10n(l10n, AppsDB::Applications));
    ASSERT_TRUE(
        AppsDB::SaveL10n(l10n.path, l10n.name, QString(""), 7, QDateTime(), AppsDB::SystemL10ns));
    const QList<AppsDB::L10n> l10ns = AppsDB::LoadL10ns(AppsDB::Applications);
    ASSERT_EQ(l10ns.size(), 1);
    EXPECT_EQ(l10ns[0].path, l10n.path);
    EXPECT_EQ(l10ns[0].appPath, app.path);
    EXPECT_EQ(l10ns[0].size, fiveGB + 1);
    EXPECT_EQ(l10ns[0].lastModified.toSecsSinceEpoch(), 4000000000LL);
    const QList<AppsDB::L10n> sys = AppsDB::LoadL10ns(AppsDB::SystemL10ns);
    ASSERT_EQ(sys.size(), 1);
    EXPECT_TRUE(sys[0].appPath.isEmpty());
    // An unknown date is stored as the 32-bit "invalid" and comes back invalid, not as 2106.
    EXPECT_FALSE(sys[0].lastModified.isValid());
    RawDb raw(AppsDB::GetDBFilePath(AppsDB::SystemL10ns));
    EXPECT_EQ(raw.Column("SELECT lastModified FROM SysL10n"), QStringList({"4294967295"}));
}

TEST_F(AppsDBTest, AnInvalidDateTakesTheBundlesModificationTime) {
    TempTree t;
    t.MakeDir("X.app");
    SetMTime(t.Path("X.app"), 1500000000, 700000000);
    ASSERT_TRUE(AppsDB::SaveApplication(t.Path("X.app"), "X", "com.x", 10, QDateTime()));
    const auto apps = AppsDB::LoadApplications();
    ASSERT_EQ(apps.size(), 1);
    EXPECT_EQ(apps[0].lastModified.toSecsSinceEpoch(), 1500000000);
    EXPECT_FALSE(apps[0].isDirty);
}

TEST_F(AppsDBTest, ADuplicateKeepsTheFirstRowAndANullValueIsAFailure) {
    LogCapture log;
    ASSERT_TRUE(AppsDB::SaveApplication(App("/A.app", 1)));
    EXPECT_TRUE(AppsDB::SaveApplication(App("/A.app", 2)));
    ASSERT_EQ(AppsDB::LoadApplications().size(), 1);
    EXPECT_EQ(AppsDB::LoadApplications()[0].size, 1);
    EXPECT_EQ(log.Count(google::ERROR, ""), 0) << log.Dump();

    // Both violations have the native code "19"; only the duplicate is harmless.
    AppsDB::Application noName = App("/B.app");
    noName.name = QString();
    EXPECT_FALSE(AppsDB::SaveApplication(noName));
    EXPECT_FALSE(AppsDB::SaveApplication("/C.app", "C", QString(), 1, QDateTime()));
    EXPECT_EQ(log.Count(google::ERROR,
                        "Can't insert an application (/B.app) into the database "
                        "(SQLERROR: NOT NULL constraint failed"),
              1)
        << log.Dump();
    EXPECT_EQ(Paths(AppsDB::LoadApplications()), QStringList({"/A.app"}));

    ASSERT_TRUE(AppsDB::SaveL10n("/A.app/fr.lproj", "French", "/A.app", 1, QDateTime(),
                                 AppsDB::Applications));
    EXPECT_TRUE(AppsDB::SaveL10n("/A.app/fr.lproj", "Other", "/A.app", 2, QDateTime(),
                                 AppsDB::Applications));
    EXPECT_FALSE(AppsDB::SaveL10n("/A.app/de.lproj", "German", QString(), 1, QDateTime(),
                                  AppsDB::Applications));
    EXPECT_FALSE(
        AppsDB::SaveL10n("/S/de.lproj", QString(), "", 1, QDateTime(), AppsDB::SystemL10ns));
    EXPECT_TRUE(log.Contains(google::ERROR,
                             "Can't insert a l10n (German / /A.app/de.lproj) of an "
                             "application () into the database (SQLERROR: "));
    EXPECT_EQ(AppsDB::LoadL10ns(AppsDB::Applications).size(), 1);
    EXPECT_EQ(AppsDB::LoadL10ns(AppsDB::Applications)[0].name, "French");

    // A batch is all or nothing; duplicates inside it are skipped.
    EXPECT_FALSE(AppsDB::SaveApplications({App("/D.app"), noName}));
    EXPECT_TRUE(AppsDB::SaveApplications({App("/E.app"), App("/A.app", 9), App("/E.app")}));
    EXPECT_EQ(Paths(AppsDB::LoadApplications()), QStringList({"/A.app", "/E.app"}));
}

TEST_F(AppsDBTest, AnUnknownDatabaseValueFailsEverywhere) {
    const auto bad = static_cast<AppsDB::DBName>(7);
    EXPECT_TRUE(AppsDB::LoadL10ns(bad).isEmpty());
    EXPECT_FALSE(AppsDB::SaveL10n("/x", "x", "/a", 1, QDateTime(), bad));
    EXPECT_FALSE(AppsDB::DeleteAllL10ns(bad));
    EXPECT_FALSE(AppsDB::RemoveL10nByPath("/x", bad));
    EXPECT_FALSE(AppsDB::RemoveL10nsByAppPath("/x", bad));
    AppsDB::ClearRemovedL10ns(bad);
    EXPECT_FALSE(AppsDB::InitDatabase(bad));
    EXPECT_FALSE(QFile::exists(AppsFile()));
}

TEST_F(AppsDBTest, LocalizationRowsMarkTheirBundleDirty) {
    ASSERT_TRUE(AppsDB::SaveApplication(App("/Apps/A.app")));
    ASSERT_TRUE(AppsDB::SaveApplication(App("/Apps/B.app")));
    for (const char* l : {"/Apps/A.app/Contents/Resources/fr.lproj", "/Apps/A.app/x/de.lproj",
                          "/Apps/B.app/fr.lproj", "/Other/fr.lproj"}) {
        const QString path = QString::fromLatin1(l);
        ASSERT_TRUE(AppsDB::SaveL10n(path, "French",
                                     path.startsWith("/Apps/B") ? "/Apps/B.app" : "/Apps/A.app", 1,
                                     QDateTime(), AppsDB::Applications));
    }
    auto dirty = [] {
        QStringList paths;
        for (const auto& app : AppsDB::LoadApplications()) {
            if (app.isDirty) {
                paths << app.path;
            }
        }
        return paths;
    };
    EXPECT_TRUE(AppsDB::RemoveL10nByPath("/Other/fr.lproj", AppsDB::Applications));
    EXPECT_TRUE(dirty().isEmpty());
    EXPECT_TRUE(AppsDB::RemoveL10nByPath("/Apps/A.app/x/de.lproj", AppsDB::Applications));
    EXPECT_EQ(dirty(), QStringList({"/Apps/A.app"}));
    EXPECT_EQ(AppsDB::LoadL10ns(AppsDB::Applications).size(), 2);
    EXPECT_TRUE(AppsDB::RemoveL10nsByAppPath("/Apps/B.app", AppsDB::Applications));
    EXPECT_EQ(dirty(), QStringList({"/Apps/A.app", "/Apps/B.app"}));
    ASSERT_EQ(AppsDB::LoadL10ns(AppsDB::Applications).size(), 1);
    EXPECT_TRUE(AppsDB::DeleteAllL10ns(AppsDB::Applications));
    EXPECT_TRUE(AppsDB::LoadL10ns(AppsDB::Applications).isEmpty());

    ASSERT_TRUE(AppsDB::SaveL10n("/S/a.lproj", "A", "", 1, QDateTime(), AppsDB::SystemL10ns));
    ASSERT_TRUE(AppsDB::SaveL10n("/S/b.lproj", "B", "", 1, QDateTime(), AppsDB::SystemL10ns));
    EXPECT_TRUE(AppsDB::RemoveL10nsByAppPath("anything", AppsDB::SystemL10ns));
    EXPECT_TRUE(AppsDB::LoadL10ns(AppsDB::SystemL10ns).isEmpty());
}

TEST_F(AppsDBTest, ExclusionsAreReplacedWholeOrNotAtAll) {
    const QStringList names = {QString::fromUtf8("Français"), "German", "German", "a\nb: c"};
    ASSERT_TRUE(AppsDB::SaveL10nExclusions(names));
    EXPECT_EQ(AppsDB::LoadL10nExclusions(), names);
    // A name that cannot be stored fails the save and leaves the old list.
    EXPECT_FALSE(AppsDB::SaveL10nExclusions({"Dutch", QString()}));
    EXPECT_EQ(AppsDB::LoadL10nExclusions(), names);
    EXPECT_TRUE(AppsDB::SaveL10nExclusions({}));
    EXPECT_TRUE(AppsDB::LoadL10nExclusions().isEmpty());
}

struct BadSchema {
    const char* label;
    QStringList statements;
    const char* fieldMessage;  // empty: none expected
};

class AppsDBRepairTest : public AppsDBTest, public ::testing::WithParamInterface<BadSchema> {};

TEST_P(AppsDBRepairTest, AWrongSchemaIsKeptAsideAndMadeAnew) {
    const BadSchema& bad = GetParam();
    ASSERT_TRUE(AppsDB::InitDatabase(AppsDB::Applications));  // just for the folder
    AppsDB::CloseConnections();
    QFile::remove(AppsFile());
    {
        RawDb raw(AppsFile());
        for (const QString& sql : bad.statements) {
            raw.Exec(sql);
        }
    }
    LogCapture log;
    OnThread([] { EXPECT_TRUE(AppsDB::SaveApplication(App("/N.app"))); });
    EXPECT_EQ(Tables(AppsFile()), QStringList({"Application", "L10n", "L10nExclusion"}));
    EXPECT_EQ(Paths(AppsDB::LoadApplications()), QStringList({"/N.app"}));
    EXPECT_TRUE(log.Contains(google::INFO, "Removing invalid database"));
    EXPECT_EQ(log.Count(google::INFO, "Invalid field"), *bad.fieldMessage ? 1 : 0) << log.Dump();
    if (*bad.fieldMessage) {
        EXPECT_TRUE(log.Contains(google::INFO, bad.fieldMessage));
    }
    // The replaced file is kept, with what it held.
    EXPECT_EQ(Tables(AppsFile() + ".invalid").first(), "Application");
    EXPECT_EQ(RawDb(AppsFile() + ".invalid").Column("SELECT path FROM Application"),
              QStringList({"/Old.app"}));
}

const char* const goodApp =
    "CREATE TABLE Application (path TEXT PRIMARY KEY, name TEXT NOT NULL, bundleId TEXT NOT NULL, "
    "size INTEGER NOT NULL, lastModified INTEGER NOT NULL, isDirty BOOLEAN NOT NULL DEFAULT 0)";
const char* const goodL10n =
    "CREATE TABLE L10n (path TEXT PRIMARY KEY, name TEXT NOT NULL, appPath TEXT NOT NULL, size "
    "INTEGER NOT NULL, lastModified INTEGER NOT NULL)";
const char* const goodExcl = "CREATE TABLE L10nExclusion (name TEXT NOT NULL)";
const char* const oldRow =
    "INSERT INTO Application (path, name, bundleId, size, lastModified) "
    "VALUES ('/Old.app', 'n', 'b', 1, 1)";

INSTANTIATE_TEST_SUITE_P(
    Schemas, AppsDBRepairTest,
    ::testing::Values(
        BadSchema{"SizeAsText",
                  {"CREATE TABLE Application (path TEXT PRIMARY KEY, name TEXT NOT NULL, bundleId "
                   "TEXT NOT NULL, size TEXT NOT NULL, lastModified INTEGER NOT NULL, isDirty "
                   "BOOLEAN NOT NULL DEFAULT 0)",
                   goodL10n, goodExcl, oldRow},
                  "Invalid field \"Application.size\""},
        BadSchema{"DirtyAsInteger",
                  {"CREATE TABLE Application (path TEXT PRIMARY KEY, name TEXT, bundleId TEXT, "
                   "size INTEGER, lastModified INTEGER, isDirty INTEGER)",
                   goodL10n, goodExcl, oldRow},
                  "Invalid field \"Application.isDirty\""},
        BadSchema{
            "ExtraTable", {goodApp, goodL10n, goodExcl, "CREATE TABLE Extra (x)", oldRow}, ""},
        BadSchema{"MissingTable", {goodApp, goodL10n, oldRow}, ""},
        BadSchema{"ExtraColumn",
                  {goodApp,
                   "CREATE TABLE L10n (path TEXT PRIMARY KEY, name TEXT NOT NULL, "
                   "appPath TEXT NOT NULL, size INTEGER NOT NULL, lastModified INTEGER "
                   "NOT NULL, more TEXT)",
                   goodExcl, oldRow},
                  ""}),
    [](const ::testing::TestParamInfo<BadSchema>& info) { return std::string(info.param.label); });

TEST_F(AppsDBTest, AFileThatIsNotADatabaseIsKeptAsideAndMadeAnew) {
    ASSERT_TRUE(AppsDB::InitDatabase(AppsDB::Applications));
    AppsDB::CloseConnections();
    QByteArray junk;
    for (int i = 0; i < 200; ++i) {
        junk += "this is not a database\n";
    }
    {
        QFile f(AppsFile());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(junk);
    }
    LogCapture log;
    OnThread([] { EXPECT_TRUE(AppsDB::SaveApplication(App("/N.app"))); });
    EXPECT_TRUE(log.Contains(google::INFO, "Removing invalid database"));
    EXPECT_TRUE(log.Contains(google::WARNING, "is not a usable database"));
    EXPECT_EQ(Paths(AppsDB::LoadApplications()), QStringList({"/N.app"}));
    QFile kept(AppsFile() + ".invalid");
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), junk);
}

TEST_F(AppsDBTest, EightThreadsFirstCallsAtOnceLoseNothing) {
    for (int round = 0; round < 4; ++round) {
        if (round == 0) {
            // First round on no file at all; later ones on a file full of rows.
            ASSERT_FALSE(QFile::exists(AppsFile()));
        } else {
            ASSERT_TRUE(QFile::exists(AppsFile()));
        }
        std::mutex mutex;
        std::condition_variable cv;
        int waiting = 0;
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; ++i) {
            threads.emplace_back([&, i] {
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    ++waiting;
                    cv.notify_all();
                    cv.wait(lock, [&] { return waiting == 8; });
                }
                const bool saved = AppsDB::SaveApplication(
                    App(QStringLiteral("/R%1/T%2.app").arg(round).arg(i), fiveGB + i));
                const bool sys = AppsDB::SaveL10n(QStringLiteral("/R%1/%2.lproj").arg(round).arg(i),
                                                  "L", "", 1, QDateTime(), AppsDB::SystemL10ns);
                if (!saved || !sys || AppsDB::LoadApplications().size() < 8 * round + 1) {
                    ++failures;
                }
            });
        }
        for (auto& t : threads) {
            t.join();
        }
        EXPECT_EQ(failures, 0);
        OnThread([&] {
            EXPECT_EQ(AppsDB::LoadApplications().size(), 8 * (round + 1));
            EXPECT_EQ(AppsDB::LoadL10ns(AppsDB::SystemL10ns).size(), 8 * (round + 1));
        });
    }
    EXPECT_FALSE(QFile::exists(AppsFile() + ".invalid"));
}

TEST_F(AppsDBTest, AHeldLockNeverCostsTheData) {
    OnThread([] {
        ASSERT_TRUE(AppsDB::SaveApplication(App("/Keep.app", fiveGB)));
        ASSERT_TRUE(AppsDB::SaveL10nExclusions({"German"}));
    });
    LogCapture log;
    {
        // A first call (no connection open) meets the lock while it checks the
        // file: it fails after the busy timeout and touches nothing.
        RawDb locker(AppsFile());
        ASSERT_TRUE(locker.Exec("BEGIN EXCLUSIVE"));
        OnThread([] { EXPECT_TRUE(AppsDB::LoadApplications().isEmpty()); });
        EXPECT_TRUE(log.Contains(google::ERROR, "is busy or locked; it is left as it is"))
            << log.Dump();
        locker.Exec("ROLLBACK");
    }
    std::atomic<bool> opened{false};
    std::atomic<bool> locked{false};
    bool savedWhileLocked = true;
    // A thread whose connection was open before the lock came.
    std::thread early([&] {
        EXPECT_EQ(AppsDB::LoadApplications().size(), 1);
        opened = true;
        while (!locked) {
            std::this_thread::yield();
        }
        savedWhileLocked = AppsDB::SaveApplication(App("/Late.app"));
    });
    while (!opened) {
        std::this_thread::yield();
    }
    {
        RawDb locker(AppsFile());
        ASSERT_TRUE(locker.Exec("BEGIN EXCLUSIVE"));
        locked = true;
        early.join();
        locker.Exec("ROLLBACK");
    }
    EXPECT_FALSE(savedWhileLocked);
    EXPECT_TRUE(log.Contains(google::ERROR, "Can't insert an application (/Late.app)"));
    EXPECT_FALSE(log.Contains(google::INFO, "Removing invalid database"));
    EXPECT_FALSE(log.Contains(google::INFO, "Creating database schema"));
    EXPECT_FALSE(QFile::exists(AppsFile() + ".invalid"));
    OnThread([] {
        const auto apps = AppsDB::LoadApplications();
        ASSERT_EQ(apps.size(), 1);
        EXPECT_EQ(apps[0].size, fiveGB);
        EXPECT_EQ(AppsDB::LoadL10nExclusions(), QStringList({"German"}));
    });
}

TEST_F(AppsDBTest, ALockReleasedWhileACallWaitsLetsItSucceed) {
    OnThread([] { ASSERT_TRUE(AppsDB::SaveApplication(App("/Keep.app"))); });
    RawDb locker(AppsFile());
    ASSERT_TRUE(locker.Exec("BEGIN EXCLUSIVE"));
    std::atomic<bool> done{false};
    bool saved = false;
    std::thread writer([&] {
        saved = AppsDB::SaveApplication(App("/New.app"));
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    locker.Exec("ROLLBACK");
    writer.join();
    EXPECT_TRUE(saved);
    EXPECT_EQ(Paths(AppsDB::LoadApplications()), QStringList({"/Keep.app", "/New.app"}));
}

TEST_F(AppsDBTest, ConnectionsCloseWhenTheirThreadEnds) {
    QStringList names;
    OnThread([&] {
        ASSERT_TRUE(AppsDB::SaveL10nExclusions({"x"}));
        AppsDB::LoadL10ns(AppsDB::SystemL10ns);
        names << AppsDB::GetCurrentConnectionName(AppsDB::Applications)
              << AppsDB::GetCurrentConnectionName(AppsDB::SystemL10ns);
        for (const QString& name : names) {
            EXPECT_TRUE(QSqlDatabase::connectionNames().contains(name));
        }
    });
    ASSERT_EQ(names.size(), 2);
    EXPECT_TRUE(names[0].startsWith("VarnexCleanerApplications"));
    EXPECT_TRUE(names[1].startsWith("VarnexCleanerSystemL10ns"));
    EXPECT_NE(names[0], AppsDB::GetCurrentConnectionName(AppsDB::Applications));
    for (const QString& name : names) {
        EXPECT_FALSE(QSqlDatabase::connectionNames().contains(name));
    }
    // A thread that lives on can close its own at once.
    EXPECT_EQ(AppsDB::LoadL10nExclusions(), QStringList({"x"}));
    const QString mine = AppsDB::GetCurrentConnectionName(AppsDB::Applications);
    EXPECT_TRUE(QSqlDatabase::connectionNames().contains(mine));
    AppsDB::CloseConnections();
    EXPECT_FALSE(QSqlDatabase::connectionNames().contains(mine));
    EXPECT_EQ(AppsDB::LoadL10nExclusions(), QStringList({"x"}));
}

TEST_F(AppsDBTest, ClearRemovedDropsOnlyWhatChanged) {
    TempTree t;
    for (const char* dir : {"Same.app", "Changed.app", "Plain", "Gone.app", "Other.app/fr.lproj",
                            "Same.app/de.lproj", "Changed.app/de.lproj", "Changed.app/fr.lproj"}) {
        t.MakeDir(dir);
    }
    t.MakeFile("File.app", "x");
    // Sub-second times: the stored whole second must not look older than the file.
    for (const char* dir : {"Same.app", "Changed.app", "Plain", "Gone.app", "Other.app/fr.lproj",
                            "Same.app/de.lproj", "Changed.app/de.lproj", "Changed.app/fr.lproj"}) {
        SetMTime(t.Path(dir), 1600000000, 900000000);
    }
    for (const char* app : {"Same.app", "Changed.app", "Plain", "Gone.app", "File.app"}) {
        ASSERT_TRUE(AppsDB::SaveApplication(t.Path(app), "n", "id", 1, QDateTime()));
    }
    for (const char* l : {"Same.app/de.lproj", "Changed.app/de.lproj", "Changed.app/fr.lproj"}) {
        const QString path = t.Path(l);
        ASSERT_TRUE(AppsDB::SaveL10n(path, "L", path.section('/', 0, -2), 1,
                                     QDateTime::fromSecsSinceEpoch(1600000000, Qt::UTC),
                                     AppsDB::Applications));
    }
    ASSERT_TRUE(AppsDB::SaveL10n(t.Path("Other.app/fr.lproj"), "L", "", 1,
                                 QDateTime::fromSecsSinceEpoch(1600000000, Qt::UTC),
                                 AppsDB::SystemL10ns));
    ASSERT_TRUE(AppsDB::SaveL10n(t.Path("Gone.lproj"), "L", "", 1,
                                 QDateTime::fromSecsSinceEpoch(1600000000, Qt::UTC),
                                 AppsDB::SystemL10ns));
    SetMTime(t.Path("Changed.app"), 1600000001, 0);
    SetMTime(t.Path("Changed.app/fr.lproj"), 1600000001, 0);
    ASSERT_EQ(::rmdir(t.Path("Gone.app").toUtf8().constData()), 0);

    AppsDB::ClearRemovedApplications();
    EXPECT_EQ(Paths(AppsDB::LoadApplications()), QStringList({t.Path("Same.app")}));

    ASSERT_TRUE(AppsDB::SaveApplication(t.Path("Changed.app"), "n", "id", 1, QDateTime()));
    AppsDB::ClearRemovedL10ns(AppsDB::Applications);
    const auto l10ns = AppsDB::LoadL10ns(AppsDB::Applications);
    ASSERT_EQ(l10ns.size(), 1);
    EXPECT_EQ(l10ns[0].path, t.Path("Same.app/de.lproj"));
    for (const auto& app : AppsDB::LoadApplications()) {
        EXPECT_EQ(app.isDirty, app.path == t.Path("Changed.app")) << app.path.toStdString();
    }
    AppsDB::ClearRemovedL10ns(AppsDB::SystemL10ns);
    const auto sys = AppsDB::LoadL10ns(AppsDB::SystemL10ns);
    ASSERT_EQ(sys.size(), 1);
    EXPECT_EQ(sys[0].path, t.Path("Other.app/fr.lproj"));
}

TEST(AppsDBErrors, OnlyAKeyViolationIsADuplicate) {
    const QString code = AppsDB::constraintErrorCode;
    EXPECT_TRUE(AppsDB::IsDuplicateKeyError(QSqlError(
        "", "UNIQUE constraint failed: Application.path", QSqlError::StatementError, code)));
    EXPECT_FALSE(AppsDB::IsDuplicateKeyError(QSqlError(
        "", "NOT NULL constraint failed: Application.name", QSqlError::StatementError, code)));
    EXPECT_FALSE(AppsDB::IsDuplicateKeyError(
        QSqlError("", "UNIQUE constraint failed: x", QSqlError::StatementError, "5")));
    EXPECT_TRUE(
        AppsDB::IsBusyError(QSqlError("", "database is locked", QSqlError::StatementError, "5")));
    EXPECT_TRUE(AppsDB::IsBusyError(QSqlError("", "", QSqlError::StatementError, "6")));
    EXPECT_FALSE(AppsDB::IsNotADatabaseError(QSqlError("", "", QSqlError::StatementError, "5")));
    EXPECT_TRUE(AppsDB::IsNotADatabaseError(QSqlError("", "", QSqlError::StatementError, "26")));
}

}  // namespace
