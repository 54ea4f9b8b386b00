// The antivirus manager against a loopback engine location and mirrors: what
// it learns of the remote versions, the update plan it carries out through a
// freshclam stand-in and a real engine archive, and that a failed, canceled or
// hostile update never passes for done nor leaves the manager stuck.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QNetworkProxy>
#include <QSignalSpy>

#include "Core/AntiVirusManager.h"
#include "Core/DatabaseContext.h"
#include "common/ClamavFixture.h"
#include "common/LogCapture.h"
#include "common/LoopbackHttpServer.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using namespace Varnex::Cleaner;
using Varnex::Test::ClamavFixture;
using Varnex::Test::LogCapture;
using Varnex::Test::LoopbackHttpServer;
using Varnex::Test::RunProgram;
using Varnex::Test::TempTree;
using Varnex::Test::WaitUntil;

namespace {

const int waitMs = 120000;

// A database header as a mirror or the installed file starts.
QByteArray Header(int version, int signatures) {
    QByteArray header = "ClamAV-VDB:07 Dec 2026 10-00 +0000:" + QByteArray::number(version) + ':' +
                        QByteArray::number(signatures) + ":90:0123456789abcdef:sig:klarvik:1765101600";
    return header.leftJustified(512, ' ');
}

struct Remote {
    LoopbackHttpServer server;
    Remote() {
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        EXPECT_TRUE(server.Listen());
    }
    void Versions(const QByteArray& json) { server.Serve("/engine/info", {200, json}); }
    void Mirror(const QString& base, int main, int daily, int bytecode) {
        server.Serve(base + "/main.cvd", {200, Header(main, 1000)});
        server.Serve(base + "/daily.cvd", {200, Header(daily, 500)});
        server.Serve(base + "/bytecode.cvd", {200, Header(bytecode, 50)});
    }
    AntiVirusManager::Locations Locations(const QStringList& mirrors) const {
        AntiVirusManager::Locations l;
        l.engineServer = server.Url("/engine");
        for (const QString& m : mirrors) {
            l.databaseMirrors << server.Url(m);
        }
        l.publicMirrorHost = "mirror.example";
        return l;
    }
};

bool WaitReady(AntiVirusManager& manager) {
    return WaitUntil([&] { return manager.GetState() != AntiVirusManager::INITIALIZING; }, waitMs);
}

AntiVirusManager::FinishReason Update(AntiVirusManager& manager, QSignalSpy* finished) {
    EXPECT_TRUE(manager.UpdateAll()) << manager.GetProblem().toStdString();
    EXPECT_TRUE(WaitUntil([&] { return !finished->isEmpty(); }, waitMs));
    return finished->isEmpty() ? AntiVirusManager::FAILED
                               : finished->last().at(0).value<AntiVirusManager::FinishReason>();
}

void WriteFile(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

// A freshclam stand-in: records each run, prints `output`, runs `then`.
void Freshclam(const ClamavFixture& engine, const QByteArray& output, const QByteArray& then) {
    WriteFile(engine.Prefix() + "/engine/bin/freshclam",
              "#!/bin/sh\necho run >> '" + engine.Prefix().toUtf8() + "/runs'\nprintf '" + output +
                  "'\n" + then);
    QFile::setPermissions(engine.Prefix() + "/engine/bin/freshclam",
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

int Runs(const ClamavFixture& engine) {
    QFile file(engine.Prefix() + "/runs");
    return file.open(QIODevice::ReadOnly) ? file.readAll().count('\n') : 0;
}

}  // namespace

TEST(AntiVirusManager, LearnsTheRemoteVersionsTryingTheMirrorsInTurn) {
    TempTree dir;
    ClamavFixture engine(dir.Path("ClamAV"));
    Remote remote;
    remote.Versions(R"({"engineVersions": ["0.99", "1.4.6", "../../../etc", 7]})");
    remote.Mirror("/second", 13, 5, 3);  // the first mirror has nothing
    LogCapture log;
    AntiVirusManager manager(remote.Locations({"/first", "/second"}), engine.Prefix());
    EXPECT_EQ(manager.GetState(), AntiVirusManager::INITIALIZING);
    EXPECT_TRUE(manager.IsUpdateReqired());  // nothing installed yet
    ASSERT_TRUE(WaitReady(manager));
    ASSERT_EQ(manager.GetState(), AntiVirusManager::IDLE) << manager.GetProblem().toStdString();
    EXPECT_EQ(manager.GetLastRemoteEngineVersion(), "1.4.6");  // the unsafe entry is dropped
    EXPECT_EQ(manager.GetMainDatabaseContext().remote.version, 13);
    EXPECT_EQ(manager.GetDailyDatabaseContext().remote.version, 5);
    EXPECT_EQ(manager.GetBytecodeDatabaseContext().remote.version, 3);
    EXPECT_EQ(log.Count(google::WARNING, "Trying to load remote database and engine info again"),
              1);
    EXPECT_EQ(manager.GetEngineUrl(), remote.server.Url("/engine/av-1.4.6.tgz"));

    // Every mirror failing ends in ERROR, for good.
    AntiVirusManager broken(remote.Locations({"/a", "/b", "/c"}), engine.Prefix());
    ASSERT_TRUE(WaitReady(broken));
    EXPECT_EQ(broken.GetState(), AntiVirusManager::ERROR);
    EXPECT_TRUE(broken.GetProblem().contains("Have tried all the database mirrors"));
    EXPECT_FALSE(broken.UpdateAll());

    // Without any location nothing is asked of the network.
    AntiVirusManager offline(AntiVirusManager::Locations{}, engine.Prefix());
    EXPECT_EQ(offline.GetState(), AntiVirusManager::ERROR);
    EXPECT_TRUE(offline.IsEngineInstalled());
}

TEST(AntiVirusManager, UpdatesTheDatabasesThroughFreshclamAndTellsTheTruth) {
    TempTree dir;
    ClamavFixture engine(dir.Path("ClamAV"));
    const QString db = engine.DatabaseFolder();
    WriteFile(db + "/main.cvd", Header(10, 900));
    WriteFile(db + "/bytecode.cvd", Header(3, 50));
    Remote remote;
    remote.Versions(R"({"engineVersions": ["0.99", "1.4.6"]})");
    remote.Mirror("/m", 13, 5, 3);
    AntiVirusManager manager(remote.Locations({"/m"}), engine.Prefix());
    ASSERT_TRUE(WaitReady(manager));
    ASSERT_TRUE(manager.IsEngineActual());
    ASSERT_TRUE(manager.IsUpdateReqired());
    EXPECT_FALSE(manager.IsDatabaseInstalled());  // no daily

    // The updater says it is done, yet leaves main behind: a failure.
    Freshclam(engine, "Downloading main-11.cdiff [ 42%%]\\n", "exit 0\n");
    QSignalSpy finished(&manager, &AntiVirusManager::UpdateFinished);
    EXPECT_EQ(Update(manager, &finished), AntiVirusManager::FAILED);
    EXPECT_TRUE(manager.GetProblem().contains("behind")) << manager.GetProblem().toStdString();
    EXPECT_EQ(manager.GetState(), AntiVirusManager::IDLE);
    EXPECT_EQ(finished.size(), 1);

    // A network failure of the updater is told as one.
    finished.clear();
    Freshclam(engine, "", "exit 52\n");
    EXPECT_EQ(Update(manager, &finished), AntiVirusManager::FAILED);
    EXPECT_TRUE(manager.GetProblem().contains("connect")) << manager.GetProblem().toStdString();

    // A run that brings everything: one run for all the entries, DONE once.
    finished.clear();
    const int before = Runs(engine);
    Freshclam(engine,
              "Downloading main-11.cdiff [100%%]\\rDownloading main-12.cdiff [100%%]\\n"
              "Downloading daily.cvd [ 50%%]\\nbytecode.cvd database is up-to-date (version: 3)\\n",
              "printf '%s' '" + Header(13, 1200) + "' > '" + db.toUtf8() + "/main.cvd'\n" +
                  "printf '%s' '" + Header(5, 500) + "' > '" + db.toUtf8() + "/daily.cld'\n" +
                  "grep -q 'DatabaseDirectory " + db.toUtf8() + "' \"${2#--config-file=}\" || exit 9\n"
                  "exit 0\n");
    EXPECT_EQ(Update(manager, &finished), AntiVirusManager::DONE)
        << manager.GetProblem().toStdString();
    EXPECT_EQ(Runs(engine), before + 1);
    EXPECT_EQ(finished.size(), 1);
    EXPECT_EQ(manager.GetMainDatabaseContext().local.version, 13);
    EXPECT_EQ(manager.GetDailyDatabaseContext().local.version, 5);
    EXPECT_FALSE(manager.IsUpdateReqired());
    EXPECT_EQ(manager.GetNumOfNewSignatures(), 0);
    EXPECT_FLOAT_EQ(manager.GetProgressOfEngineUpdate(), 1.0f);
    EXPECT_FALSE(manager.UpdateAll());  // nothing to do, and still usable
    EXPECT_EQ(manager.GetState(), AntiVirusManager::IDLE);
}

TEST(AntiVirusManager, ACanceledOrUnstartableUpdaterEndsOnceAndIsNotRunAgain) {
    TempTree dir;
    ClamavFixture engine(dir.Path("ClamAV"));
    Remote remote;
    remote.Versions(R"({"engineVersions": ["1.4.6"]})");
    remote.Mirror("/m", 2, 2, 2);
    AntiVirusManager manager(remote.Locations({"/m"}), engine.Prefix());
    ASSERT_TRUE(WaitReady(manager));
    Freshclam(engine, "Downloading main.cvd [  1%%]\\n", "sleep 600\n");
    QSignalSpy finished(&manager, &AntiVirusManager::UpdateFinished);
    ASSERT_TRUE(manager.UpdateAll());
    ASSERT_TRUE(WaitUntil([&] { return Runs(engine) == 1; }, waitMs));
    manager.CancelUpdate();
    ASSERT_EQ(finished.size(), 1);
    EXPECT_EQ(finished.last().at(0).value<AntiVirusManager::FinishReason>(),
              AntiVirusManager::CANCELED);
    // Its end (waited for here) starts nothing and ends nothing again.
    manager.WaitBeforeAppQuit();
    EXPECT_EQ(finished.size(), 1);
    EXPECT_EQ(Runs(engine), 1);

    // An updater that cannot start fails the update at once.
    AntiVirusManager second(remote.Locations({"/m"}), engine.Prefix());
    ASSERT_TRUE(WaitReady(second));
    QFile::remove(engine.Prefix() + "/engine/bin/freshclam");
    QSignalSpy secondFinished(&second, &AntiVirusManager::UpdateFinished);
    if (second.UpdateAll()) {
        ASSERT_TRUE(WaitUntil([&] { return !secondFinished.isEmpty(); }, waitMs));
        EXPECT_EQ(secondFinished.last().at(0).value<AntiVirusManager::FinishReason>(),
                  AntiVirusManager::FAILED);
    }
    EXPECT_EQ(second.GetState(), AntiVirusManager::IDLE);
    EXPECT_FALSE(second.GetProblem().isEmpty());
}

TEST(AntiVirusManager, InstallsANewEngineAndKeepsTheOldOneWhenTheArchiveIsBad) {
    TempTree dir;
    ClamavFixture engine(dir.Path("ClamAV"), "1.4.5");
    WriteFile(engine.DatabaseFolder() + "/main.cvd", Header(2, 10));
    WriteFile(engine.DatabaseFolder() + "/daily.cvd", Header(2, 10));
    WriteFile(engine.DatabaseFolder() + "/bytecode.cvd", Header(2, 10));
    // The new engine, packed the way the engine location serves it.
    WriteFile(dir.Path("pack/av-1.4.6/bin/clamscan"), "#!/bin/sh\nexit 0\n");
    WriteFile(dir.Path("pack/av-1.4.6/bin/freshclam"), "#!/bin/sh\nexit 0\n");
    WriteFile(dir.Path("pack/av-1.4.6/version"), "1.4.6\n");
    QFile::setPermissions(dir.Path("pack/av-1.4.6/bin/clamscan"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    QFile::setPermissions(dir.Path("pack/av-1.4.6/bin/freshclam"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    ASSERT_EQ(RunProgram("tar", {"czf", dir.Path("av.tgz"), "-C", dir.Path("pack"), "av-1.4.6"}), 0);
    QFile archive(dir.Path("av.tgz"));
    ASSERT_TRUE(archive.open(QIODevice::ReadOnly));
    const QByteArray tgz = archive.readAll();

    Remote remote;
    remote.Versions(R"({"engineVersions": ["1.4.5", "1.4.6"]})");
    remote.Mirror("/m", 2, 2, 2);
    remote.server.Serve("/engine/av-1.4.6.tgz", {404, "<html>not here</html>"});
    AntiVirusManager manager(remote.Locations({"/m"}), engine.Prefix());
    ASSERT_TRUE(WaitReady(manager));
    ASSERT_FALSE(manager.IsEngineActual());
    QSignalSpy finished(&manager, &AntiVirusManager::UpdateFinished);
    EXPECT_EQ(Update(manager, &finished), AntiVirusManager::FAILED);
    EXPECT_EQ(manager.GetInstalledEngineVersion(), "1.4.5");
    EXPECT_TRUE(QFile::exists(engine.ClamscanPath()));
    EXPECT_EQ(manager.GetState(), AntiVirusManager::IDLE);

    finished.clear();
    remote.server.Serve("/engine/av-1.4.6.tgz", {200, tgz});
    EXPECT_EQ(Update(manager, &finished), AntiVirusManager::DONE)
        << manager.GetProblem().toStdString();
    EXPECT_EQ(manager.GetInstalledEngineVersion(), "1.4.6");
    EXPECT_TRUE(manager.IsEngineActual());
    EXPECT_TRUE(QFile::exists(engine.DatabaseFolder() + "/klarvik-test.ndb"));  // db/ untouched
    EXPECT_EQ(QDir(engine.Prefix()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              (QStringList{"db", "engine"}));
}
