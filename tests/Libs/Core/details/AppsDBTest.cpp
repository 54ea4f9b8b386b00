#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QElapsedTimer>
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
#include "Core/details/AppsDBBackoff.h"
#include "Core/details/AppsDBCache.h"
#include "Core/details/AppsDBConnection.h"
#include "Core/details/AppsDBSchema.h"
#include "common/LogCapture.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using namespace Varnex::Cleaner::Details;
using Varnex::Test::LogCapture;
using Varnex::Test::TempTree;
using Varnex::Test::WaitUntil;

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
    QStringList Column(const QString& sql) {
        QSqlQuery q(QSqlDatabase::database(m_name, false));
        EXPECT_TRUE(q.exec(sql)) << q.lastError().text().toStdString();
        QStringList values;
        while (q.next()) {
            values << q.value(0).toString();
        }
        return values;
    }

private:
    static inline int s_count = 0;
    QString m_name;
};

QStringList Tables(const QString& file) {
    return RawDb(file).Column("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY rowid");
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

// The recorded row of `path`; a default one when there is none.
AppsDB::Application Loaded(const QString& path) {
    for (const auto& app : AppsDB::LoadApplications()) {
        if (app.path == path) {
            return app;
        }
    }
    return {};
}

QStringList DirtyPaths() {
    QStringList paths;
    for (const auto& app : AppsDB::LoadApplications()) {
        if (app.isDirty) {
            paths << app.path;
        }
    }
    paths.sort();
    return paths;
}

void SetMTime(const QString& path, qint64 secs, long nsec) {
    struct timespec times[2] = {{secs, nsec}, {secs, nsec}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.toUtf8().constData(), times, 0), 0);
}

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void WriteAt(const QString& path, qint64 offset, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    ASSERT_TRUE(f.seek(offset));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

// A gate a waiting call parks in: its stop predicate reports that it waits,
// then blocks until the test opens the gate, and answers what the test chose.
class StopGate {
public:
    std::function<bool()> Predicate() {
        return [this] {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_waiting = true;
            m_cv.notify_all();
            m_cv.wait_for(lock, std::chrono::seconds(30), [this] { return m_open; });
            return m_stop;
        };
    }
    bool AwaitWaiting() {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::seconds(30), [this] { return m_waiting; });
    }
    void Open(bool stop) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_stop = stop;
        m_cv.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_waiting = false;
    bool m_open = false;
    bool m_stop = false;
};

class AppsDBTest : public ::testing::Test {
protected:
    void SetUp() override {
        AppsDB::CloseConnections();
        AppsDB::ResetBackoff(AppsDB::Applications);
        AppsDB::ResetBackoff(AppsDB::SystemL10ns);
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
    EXPECT_EQ(AppsFile(),
              qEnvironmentVariable("HOME") + "/Library/Application Support/Varnex/Klarvik/apps.db");
    EXPECT_EQ(log.Count(google::INFO, "Creating database schema"), 2);
    EXPECT_EQ(Tables(AppsFile()), QStringList({"Application", "L10n", "L10nExclusion"}));
    EXPECT_EQ(Tables(AppsDB::GetDBFilePath(AppsDB::SystemL10ns)),
              QStringList({"SysL10n", "SysL10nExclusion"}));
}

TEST_F(AppsDBTest, ValuesRoundTripExactly) {
    AppsDB::Application app = App(QString::fromUtf8("/Applications/Ünïcødé\n: 名前.app"), fiveGB);
    app.name = QString::fromUtf8("Ünïcødé\n: 名前");
    app.isDirty = true;
    ASSERT_TRUE(AppsDB::SaveApplication(app));
    QList<AppsDB::Application> loaded;
    ASSERT_TRUE(AppsDB::LoadApplications(&loaded, {}));
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
    EXPECT_EQ(l10ns[0].appPath, app.path);
    EXPECT_EQ(l10ns[0].size, fiveGB + 1);
    EXPECT_EQ(l10ns[0].lastModified.toSecsSinceEpoch(), 4000000000LL);
    const QList<AppsDB::L10n> sys = AppsDB::LoadL10ns(AppsDB::SystemL10ns);
    ASSERT_EQ(sys.size(), 1);
    EXPECT_TRUE(sys[0].appPath.isEmpty());
    // An unknown date is stored as the 32-bit "invalid" and comes back invalid, not as 2106.
    EXPECT_FALSE(sys[0].lastModified.isValid());
    EXPECT_EQ(RawDb(AppsDB::GetDBFilePath(AppsDB::SystemL10ns))
                  .Column("SELECT lastModified FROM SysL10n"),
              QStringList({"4294967295"}));

    // An invalid date takes the bundle's modification time, to the second.
    TempTree t;
    t.MakeDir("X.app");
    SetMTime(t.Path("X.app"), 1500000000, 700000000);
    ASSERT_TRUE(AppsDB::SaveApplication(t.Path("X.app"), "X", "com.x", 10, QDateTime()));
    EXPECT_EQ(Loaded(t.Path("X.app")).lastModified.toSecsSinceEpoch(), 1500000000);
    EXPECT_EQ(DirtyPaths(), QStringList{app.path});
}

TEST_F(AppsDBTest, DuplicatesKeepTheFirstRowAndAnAppWithoutIdentifierIsRecorded) {
    LogCapture log;
    ASSERT_TRUE(AppsDB::SaveApplication(App("/A.app", 1)));
    EXPECT_TRUE(AppsDB::SaveApplication(App("/A.app", 2)));
    EXPECT_EQ(AppsDB::LoadApplications()[0].size, 1);

    // Both the name and the identifier may be unknown: recorded as empty.
    AppsDB::Application anonymous = App("/B.app");
    anonymous.name = QString();
    anonymous.bundleId = QString();
    EXPECT_TRUE(AppsDB::SaveApplication(anonymous));
    EXPECT_TRUE(AppsDB::SaveApplication("/C.app", "C", QString(), 1, QDateTime()));
    EXPECT_EQ(Paths(AppsDB::LoadApplications()), QStringList({"/A.app", "/B.app", "/C.app"}));
    EXPECT_TRUE(Loaded("/B.app").name.isEmpty());
    EXPECT_TRUE(Loaded("/C.app").bundleId.isEmpty());
    EXPECT_EQ(log.Count(google::ERROR, ""), 0) << log.Dump();

    // For localizations only the duplicate is harmless (both have code "19").
    ASSERT_TRUE(AppsDB::SaveL10n("/A.app/fr.lproj", "French", "/A.app", 1, QDateTime(),
                                 AppsDB::Applications));
    EXPECT_TRUE(AppsDB::SaveL10n("/A.app/fr.lproj", "Other", "/A.app", 2, QDateTime(),
                                 AppsDB::Applications));
    EXPECT_FALSE(AppsDB::SaveL10n("/A.app/de.lproj", "German", QString(), 1, QDateTime(),
                                  AppsDB::Applications));
    EXPECT_TRUE(log.Contains(google::ERROR,
                             "Can't insert a l10n (German / /A.app/de.lproj) of an "
                             "application () into the database (SQLERROR: NOT NULL"))
        << log.Dump();
    EXPECT_EQ(AppsDB::LoadL10ns(AppsDB::Applications)[0].name, "French");

    // A batch is all or nothing (a trigger refuses one row); duplicates in it are skipped.
    RawDb(AppsFile())
        .Exec(
            "CREATE TRIGGER refuse BEFORE INSERT ON Application WHEN NEW.path = '/Bad.app' "
            "BEGIN SELECT RAISE(ABORT, 'refused'); END");
    AppsDB::CloseConnections();
    EXPECT_FALSE(AppsDB::SaveApplications({App("/D.app"), App("/Bad.app")}));
    EXPECT_TRUE(log.Contains(google::ERROR,
                             "Can't insert an application (/Bad.app) into the "
                             "database (SQLERROR: refused"))
        << log.Dump();
    EXPECT_TRUE(AppsDB::SaveApplications({App("/E.app"), App("/A.app", 9), App("/E.app")}));
    EXPECT_EQ(Paths(AppsDB::LoadApplications()),
              QStringList({"/A.app", "/B.app", "/C.app", "/E.app"}));
}

// Every call goes through one gate that refuses an unknown file (and creates nothing).
TEST_F(AppsDBTest, AnUnknownDatabaseValueFails) {
    const auto bad = static_cast<AppsDB::DBName>(7);
    EXPECT_FALSE(AppsDB::SaveL10n("/x", "x", "/a", 1, QDateTime(), bad));
    EXPECT_FALSE(AppsDB::RemoveL10nByPath("/x", bad));
    EXPECT_FALSE(AppsDB::InitDatabase(bad));
    EXPECT_FALSE(QFile::exists(AppsFile()));
}

TEST_F(AppsDBTest, LocalizationRowsMarkTheirBundleDirty) {
    ASSERT_TRUE(AppsDB::SaveApplications({App("/Apps/A.app"), App("/Apps/B.app")}));
    for (const char* l : {"/Apps/A.app/Contents/Resources/fr.lproj", "/Apps/A.app/x/de.lproj",
                          "/Apps/B.app/fr.lproj", "/Other/fr.lproj"}) {
        const QString path = QString::fromLatin1(l);
        ASSERT_TRUE(AppsDB::SaveL10n(path, "French",
                                     path.startsWith("/Apps/B") ? "/Apps/B.app" : "/Apps/A.app", 1,
                                     QDateTime(), AppsDB::Applications));
    }
    EXPECT_TRUE(AppsDB::RemoveL10nByPath("/Other/fr.lproj", AppsDB::Applications));
    EXPECT_TRUE(DirtyPaths().isEmpty());
    EXPECT_TRUE(AppsDB::RemoveL10nByPath("/Apps/A.app/x/de.lproj", AppsDB::Applications));
    EXPECT_EQ(DirtyPaths(), QStringList({"/Apps/A.app"}));
    EXPECT_EQ(AppsDB::LoadL10ns(AppsDB::Applications).size(), 2);
    EXPECT_TRUE(AppsDB::RemoveL10nsByAppPath("/Apps/B.app", AppsDB::Applications));
    EXPECT_EQ(DirtyPaths(), QStringList({"/Apps/A.app", "/Apps/B.app"}));
    ASSERT_EQ(AppsDB::LoadL10ns(AppsDB::Applications).size(), 1);
    EXPECT_TRUE(AppsDB::DeleteAllL10ns(AppsDB::Applications));
    EXPECT_TRUE(AppsDB::LoadL10ns(AppsDB::Applications).isEmpty());

    ASSERT_TRUE(AppsDB::SaveL10n("/S/a.lproj", "A", "", 1, QDateTime(), AppsDB::SystemL10ns));
    ASSERT_TRUE(AppsDB::SaveL10n("/S/b.lproj", "B", "", 1, QDateTime(), AppsDB::SystemL10ns));
    EXPECT_TRUE(AppsDB::RemoveL10nsByAppPath("anything", AppsDB::SystemL10ns));
    EXPECT_TRUE(AppsDB::LoadL10ns(AppsDB::SystemL10ns).isEmpty());
}

// Rows of earlier releases held apparent sizes, not blocks: a file that
// says nothing of its measure loses its localization rows, nothing else.
TEST_F(AppsDBTest, LocalizationRowsOfAnOlderSizeMeasureAreDropped) {
    ASSERT_TRUE(AppsDB::SaveApplications({App("/Apps/A.app")}));
    ASSERT_TRUE(AppsDB::SaveL10n("/Apps/A.app/fr.lproj", "French", "/Apps/A.app", 100, QDateTime(),
                                 AppsDB::Applications));
    ASSERT_TRUE(AppsDB::SaveL10n("/S/fr.lproj", "French", "", 100, QDateTime(),
                                 AppsDB::SystemL10ns));
    AppsDB::CloseConnections();
    // Reopened as it is: the rows stay.
    EXPECT_EQ(AppsDB::LoadL10ns(AppsDB::Applications).size(), 1);
    AppsDB::CloseConnections();
    for (AppsDB::DBName db : {AppsDB::Applications, AppsDB::SystemL10ns}) {
        RawDb raw(AppsDB::GetDBFilePath(db));
        raw.Exec("PRAGMA user_version = 0");
    }
    EXPECT_TRUE(AppsDB::LoadL10ns(AppsDB::Applications).isEmpty());
    EXPECT_TRUE(AppsDB::LoadL10ns(AppsDB::SystemL10ns).isEmpty());
    EXPECT_EQ(AppsDB::LoadApplications().size(), 1);
    ASSERT_TRUE(AppsDB::SaveL10n("/Apps/A.app/fr.lproj", "French", "/Apps/A.app", 100, QDateTime(),
                                 AppsDB::Applications));
    AppsDB::CloseConnections();
    EXPECT_EQ(AppsDB::LoadL10ns(AppsDB::Applications).size(), 1);
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
    ASSERT_TRUE(QDir().mkpath(AppsDB::GetDBDirPath()));
    {
        RawDb raw(AppsFile());
        for (const QString& sql : bad.statements) {
            raw.Exec(sql);
        }
        raw.Exec(
            "INSERT INTO Application (path, name, bundleId, size, lastModified) "
            "VALUES ('/Old.app', 'n', 'b', 1, 1)");
    }
    LogCapture log;
    OnThread([] { EXPECT_TRUE(AppsDB::SaveApplication(App("/N.app"))); });
    EXPECT_EQ(Tables(AppsFile()), QStringList({"Application", "L10n", "L10nExclusion"}));
    EXPECT_EQ(Paths(AppsDB::LoadApplications()), QStringList({"/N.app"}));
    EXPECT_TRUE(log.Contains(google::INFO, "Removing invalid database"));
    EXPECT_EQ(log.Count(google::INFO, "Invalid field"), *bad.fieldMessage ? 1 : 0) << log.Dump();
    EXPECT_TRUE(log.Contains(google::INFO, bad.fieldMessage));
    // The replaced file is kept, with what it held.
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

INSTANTIATE_TEST_SUITE_P(
    Schemas, AppsDBRepairTest,
    ::testing::Values(
        BadSchema{"SizeAsText",
                  {"CREATE TABLE Application (path TEXT PRIMARY KEY, name TEXT, bundleId TEXT, "
                   "size TEXT, lastModified INTEGER, isDirty BOOLEAN DEFAULT 0)",
                   goodL10n, goodExcl},
                  "Invalid field \"Application.size\""},
        BadSchema{"DirtyAsInteger",
                  {"CREATE TABLE Application (path TEXT PRIMARY KEY, name TEXT, bundleId TEXT, "
                   "size INTEGER, lastModified INTEGER, isDirty INTEGER)",
                   goodL10n, goodExcl},
                  "Invalid field \"Application.isDirty\""},
        BadSchema{"ExtraTable", {goodApp, goodL10n, goodExcl, "CREATE TABLE Extra (x)"}, ""},
        BadSchema{"MissingTable", {goodApp, goodL10n}, ""},
        BadSchema{"ExtraColumn",
                  {goodApp, goodL10n, "CREATE TABLE L10nExclusion (name TEXT NOT NULL, more)"},
                  ""}),
    [](const ::testing::TestParamInfo<BadSchema>& info) { return std::string(info.param.label); });

// A file that is not a database, then one with garbage over a table's page
// (the header page and the schema stay good): each is set aside beside the one
// before and made anew; the statement that meets the damage says what failed.
TEST_F(AppsDBTest, AJunkOrDamagedFileIsKeptAsideAndMadeAnew) {
    ASSERT_TRUE(QDir().mkpath(AppsDB::GetDBDirPath()));
    const QByteArray junk(4000, 'x');
    {
        QFile f(AppsFile());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(junk);
    }
    LogCapture log;
    OnThread([] { EXPECT_TRUE(AppsDB::SaveApplication(App("/N.app"))); });
    EXPECT_TRUE(log.Contains(google::INFO, "Removing invalid database"));
    EXPECT_TRUE(log.Contains(google::WARNING, "is not a usable database"));
    EXPECT_EQ(Paths(AppsDB::LoadApplications()), QStringList({"/N.app"}));
    AppsDB::CloseConnections();

    OnThread([] {
        QList<AppsDB::Application> apps;
        for (int i = 0; i < 50; ++i) {
            apps << App(QStringLiteral("/App%1.app").arg(i));
        }
        ASSERT_TRUE(AppsDB::SaveApplications(apps));
    });
    int page = 0;
    int pageSize = 0;
    {
        RawDb raw(AppsFile());
        page = raw.Column("SELECT rootpage FROM sqlite_master WHERE name = 'Application'")
                   .value(0)
                   .toInt();
        pageSize = raw.Column("PRAGMA page_size").value(0).toInt();
    }
    ASSERT_GT(page, 1);
    WriteAt(AppsFile(), qint64(page - 1) * pageSize, QByteArray(pageSize, '\xa5'));
    const QByteArray damaged = ReadAll(AppsFile());
    OnThread([] {
        QList<AppsDB::Application> apps;
        EXPECT_TRUE(AppsDB::LoadApplications(&apps, {}));
        EXPECT_TRUE(apps.isEmpty());
        EXPECT_TRUE(AppsDB::SaveApplication(App("/After.app")));
    });
    EXPECT_TRUE(log.Contains(google::WARNING,
                             "Can't select applications from the database (SQLERROR: "
                             "database disk image is malformed"))
        << log.Dump();
    EXPECT_EQ(Paths(AppsDB::LoadApplications()), QStringList{"/After.app"});
    EXPECT_EQ(ReadAll(AppsFile() + ".invalid"), junk);
    EXPECT_EQ(ReadAll(AppsFile() + ".invalid.1"), damaged);
    EXPECT_FALSE(QFile::exists(AppsFile() + ".invalid.2"));
}

TEST_F(AppsDBTest, EightThreadsFirstCallsAtOnceLoseNothing) {
    for (int round = 0; round < 3; ++round) {
        // First round on no file at all; later ones on a file full of rows.
        ASSERT_EQ(QFile::exists(AppsFile()), round > 0);
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

// Another connection holds the file locked: the main thread fails at once,
// says so once, and every call fails at once until the retry time (on any
// thread); nothing is replaced; once the lock is gone a call succeeds again.
TEST_F(AppsDBTest, ALockedFileFailsFastIsReportedOnceAndRemembered) {
    OnThread([] {
        ASSERT_TRUE(AppsDB::SaveApplication(App("/Keep.app", fiveGB)));
        ASSERT_TRUE(AppsDB::SaveL10nExclusions({"German"}));
    });
    ASSERT_TRUE(AppsDB::InitDatabase(AppsDB::Applications));  // an open connection meets it too
    LogCapture log;
    {
        RawDb locker(AppsFile());
        ASSERT_TRUE(locker.Exec("BEGIN EXCLUSIVE"));
        QElapsedTimer clock;
        clock.start();
        QList<AppsDB::Application> apps;
        EXPECT_FALSE(AppsDB::LoadApplications(&apps, {}));
        EXPECT_EQ(AppsDB::GetAvailability(AppsDB::Applications), AppsDB::Availability::LOCKED);
        EXPECT_FALSE(AppsDB::SaveApplication(App("/Late.app")));
        OnThread([] { EXPECT_TRUE(AppsDB::LoadL10nExclusions().isEmpty()); });
        // One wait of a fraction of a second; each call used to wait five.
        EXPECT_LT(clock.elapsed(), 5000);
        EXPECT_EQ(log.Count(google::WARNING,
                            "is locked by another connection; no call tries it "
                            "again for 1 s (SQLERROR: database is locked"),
                  1)
            << log.Dump();
        EXPECT_EQ(log.Count(google::WARNING, "is locked"), 1);
        EXPECT_TRUE(log.Contains(google::WARNING, "Can't select applications from the database: "));
        locker.Exec("ROLLBACK");
    }
    ASSERT_TRUE(WaitUntil([] {
        QList<AppsDB::Application> apps;
        return AppsDB::LoadApplications(&apps, {}) && apps.size() == 1;
    }));
    EXPECT_EQ(AppsDB::GetAvailability(AppsDB::Applications), AppsDB::Availability::AVAILABLE);
    EXPECT_EQ(AppsDB::LoadL10nExclusions(), QStringList({"German"}));
    EXPECT_FALSE(log.Contains(google::INFO, "Removing invalid database"));
    EXPECT_FALSE(QFile::exists(AppsFile() + ".invalid"));
}

// A worker waiting for a locked file holds no lock of the module (another
// file is used meanwhile), ends quietly when told to stop, and succeeds when
// the lock goes while it waits.
TEST_F(AppsDBTest, AWaitingWorkerHoldsNoLockStopsWhenAskedAndSucceedsAfterTheLock) {
    OnThread([] { ASSERT_TRUE(AppsDB::SaveApplication(App("/Keep.app"))); });
    LogCapture log;
    RawDb locker(AppsFile());
    ASSERT_TRUE(locker.Exec("BEGIN EXCLUSIVE"));
    for (const bool stop : {true, false}) {
        StopGate gate;
        bool loaded = !stop;
        QList<AppsDB::Application> apps;
        std::thread worker([&] { loaded = AppsDB::LoadApplications(&apps, gate.Predicate()); });
        ASSERT_TRUE(gate.AwaitWaiting());
        if (stop) {
            EXPECT_TRUE(
                AppsDB::SaveL10n("/S/fr.lproj", "French", "", 1, QDateTime(), AppsDB::SystemL10ns));
        } else {
            locker.Exec("ROLLBACK");
        }
        gate.Open(stop);
        worker.join();
        EXPECT_EQ(loaded, !stop);
        EXPECT_EQ(Paths(apps), stop ? QStringList() : QStringList{"/Keep.app"});
    }
    EXPECT_EQ(AppsDB::GetAvailability(AppsDB::Applications), AppsDB::Availability::AVAILABLE);
    EXPECT_FALSE(log.Contains(google::WARNING, "is locked")) << log.Dump();
    EXPECT_EQ(AppsDB::LoadL10ns(AppsDB::SystemL10ns).size(), 1);
}

// The facade's reloading cache on a locked file: each refresh stops the run
// it replaces, so runs never pile up; only the last one reports the lock, and
// the cache is failed rather than holding "nothing recorded".
TEST_F(AppsDBTest, ReplacedReloadsStopAndTheLastOneFails) {
    OnThread([] { ASSERT_TRUE(AppsDB::SaveApplication(App("/Keep.app"))); });
    RawDb locker(AppsFile());
    ASSERT_TRUE(locker.Exec("BEGIN EXCLUSIVE"));
    LogCapture log;
    QElapsedTimer clock;
    clock.start();
    {
        auto cache = std::make_shared<AppsDB::ApplicationRecordsCache>();
        cache->SetFunction(AppsDB::MakeApplicationRecordsProducer());
        std::vector<AppsDB::ApplicationRecordsCache::FuturePtr> runs;
        for (int i = 0; i < 20; ++i) {
            cache->Refresh();
            runs.push_back(cache->GetFuture());
        }
        ASSERT_TRUE(WaitUntil([&] {
            for (const auto& run : runs) {
                if (run->IsRunning()) {
                    return false;
                }
            }
            return true;
        }));
        for (size_t i = 0; i + 1 < runs.size(); ++i) {
            EXPECT_FALSE(runs[i]->IsFailed()) << "run " << i << " waited to the end";
        }
        EXPECT_TRUE(cache->IsFailed());
        EXPECT_EQ(log.Count(google::WARNING, "is locked by another connection"), 1) << log.Dump();
        runs.clear();
    }
    // Twenty runs used to wait five seconds each, one after the other.
    EXPECT_LT(clock.elapsed(), 30000);
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
    const char* const dirs[] = {"Same.app",
                                "Changed.app",
                                "Plain",
                                "Gone.app",
                                "Other.app/fr.lproj",
                                "Same.app/de.lproj",
                                "Changed.app/de.lproj",
                                "Changed.app/fr.lproj"};
    for (const char* dir : dirs) {
        t.MakeDir(dir);
    }
    t.MakeFile("File.app", "x");
    // Sub-second times: the stored whole second must not look older than the file.
    for (const char* dir : dirs) {
        SetMTime(t.Path(dir), 1600000000, 900000000);
    }
    for (const char* app : {"Same.app", "Changed.app", "Plain", "Gone.app", "File.app"}) {
        ASSERT_TRUE(AppsDB::SaveApplication(t.Path(app), "n", "id", 1, QDateTime()));
    }
    const QDateTime stored = QDateTime::fromSecsSinceEpoch(1600000000, Qt::UTC);
    for (const char* l : {"Same.app/de.lproj", "Changed.app/de.lproj", "Changed.app/fr.lproj"}) {
        const QString path = t.Path(l);
        ASSERT_TRUE(
            AppsDB::SaveL10n(path, "L", path.section('/', 0, -2), 1, stored, AppsDB::Applications));
    }
    ASSERT_TRUE(
        AppsDB::SaveL10n(t.Path("Other.app/fr.lproj"), "L", "", 1, stored, AppsDB::SystemL10ns));
    ASSERT_TRUE(AppsDB::SaveL10n(t.Path("Gone.lproj"), "L", "", 1, stored, AppsDB::SystemL10ns));
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
    EXPECT_EQ(DirtyPaths(), QStringList{t.Path("Changed.app")});
    AppsDB::ClearRemovedL10ns(AppsDB::SystemL10ns);
    const auto sys = AppsDB::LoadL10ns(AppsDB::SystemL10ns);
    ASSERT_EQ(sys.size(), 1);
    EXPECT_EQ(sys[0].path, t.Path("Other.app/fr.lproj"));
}

TEST(AppsDBBackoff, DoublesUpToAMinuteAndStartsOverAfterASuccess) {
    using std::chrono::seconds;
    AppsDB::AppsDBBackoff backoff;
    const auto t0 = AppsDB::AppsDBBackoff::Clock::now();
    EXPECT_TRUE(backoff.MayTry(t0));
    std::vector<long> delays;
    auto now = t0;
    for (int i = 0; i < 8; ++i) {
        const seconds delay = backoff.Fail(now);
        delays.push_back(delay.count());
        EXPECT_FALSE(backoff.MayTry(now + delay - std::chrono::milliseconds(1)));
        now += delay;
        EXPECT_TRUE(backoff.MayTry(now));
    }
    EXPECT_EQ(delays, (std::vector<long>{1, 2, 4, 8, 16, 32, 60, 60}));
    backoff.Succeed();
    EXPECT_TRUE(backoff.MayTry(now));
    EXPECT_EQ(backoff.Fail(now).count(), 1);
}

}  // namespace
