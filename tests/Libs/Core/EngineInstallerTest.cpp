// EngineInstaller over the loopback HTTP server and the real tar: archives
// are built with tar from folders made here, the prefix lives in a temporary
// folder, and every failure must leave the installed engine as it was.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QRandomGenerator>
#include <QStringList>
#include <memory>
#include <vector>

#include "Core/EngineInstaller.h"
#include "common/FileSizeLimit.h"
#include "common/LogCapture.h"
#include "common/LoopbackHttpServer.h"
#include "common/ScopedEnv.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using Varnex::Cleaner::Details::EngineInstaller;
using Varnex::Test::LogCapture;
using Varnex::Test::LoopbackHttpServer;
using Varnex::Test::TempTree;

namespace {

const char* const source = "src/Libs/Core/EngineInstaller";
const QString version = QStringLiteral("1.0.3");
const QFileDevice::Permissions executable = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                            QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                            QFileDevice::ExeGroup;

// Everything below `root`, links not followed: one line per entry with its
// kind and content (a link's target), sorted.
std::string Snapshot(const QString& root) {
    QStringList lines;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        QString line = path.mid(root.size());
        if (info.isSymLink()) {
            char target[4096];
            const ssize_t n =
                ::readlink(QFile::encodeName(path).constData(), target, sizeof target);
            line +=
                QStringLiteral(" -> ") + QString::fromUtf8(target, n > 0 ? static_cast<int>(n) : 0);
        } else if (info.isDir()) {
            line += QStringLiteral("/");
        } else {
            QFile file(path);
            EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
            line += QStringLiteral(" = ") + QString::fromLatin1(file.readAll().toHex()) +
                    QStringLiteral(" mode ") + QString::number(info.permissions(), 16);
        }
        lines << line;
    }
    lines.sort();
    return lines.join(QLatin1Char('\n')).toStdString();
}

// An engine folder at `rel`: its tools, its version file and a library
// reached through a relative link, as the real one holds.
void MakeEngine(TempTree& tree, const QString& rel, const QByteArray& versionText,
                bool withClamscan = true) {
    if (withClamscan) {
        tree.MakeFile(rel + QStringLiteral("/bin/clamscan"), "#!/bin/sh\necho clamscan\n");
        QFile::setPermissions(tree.Path(rel + QStringLiteral("/bin/clamscan")), executable);
    }
    tree.MakeFile(rel + QStringLiteral("/bin/freshclam"), "#!/bin/sh\necho freshclam\n");
    QFile::setPermissions(tree.Path(rel + QStringLiteral("/bin/freshclam")), executable);
    tree.MakeFile(rel + QStringLiteral("/lib/libclamav.so.12"), "library " + versionText);
    tree.MakeSymlink(QStringLiteral("libclamav.so.12"), rel + QStringLiteral("/lib/libclamav.so"));
    tree.MakeFile(rel + QStringLiteral("/version"), versionText + "\n");
}

// `tar czf` of `members` taken in the folder `dirRel` (-P keeps absolute
// names and ".." as given).
QByteArray MakeArchive(TempTree& tree, const QString& dirRel, const QStringList& members,
                       bool keepNames = false) {
    static int count = 0;
    const QString out = tree.Path(QStringLiteral("archive-%1.tgz").arg(++count));
    QStringList args{keepNames ? QStringLiteral("-czPf") : QStringLiteral("-czf"), out,
                     QStringLiteral("-C"), tree.Path(dirRel)};
    args << members;
    QByteArray err;
    EXPECT_EQ(Varnex::Test::RunProgram(QStringLiteral("tar"), args, nullptr, &err), 0)
        << err.toStdString();
    QFile file(out);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    return file.readAll();
}

struct Outcome {
    int finished = 0;
    int unpacking = 0;
    bool installed = false;
    bool canceled = false;
    QString problem;
    qint64 received = -1;
};

class EngineInstallerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_server.Listen());
        m_network.setProxy(QNetworkProxy::NoProxy);
    }

    // A prefix holding a working engine (0.9), its databases and a log.
    QString MakePrefix(const QString& rel) {
        MakeEngine(m_tree, rel + QStringLiteral("/engine"), "0.9");
        m_tree.MakeFile(rel + QStringLiteral("/engine/share/old-only"), "old");
        m_tree.MakeFile(rel + QStringLiteral("/db/main.cvd"), "ClamAV-VDB:main");
        m_tree.MakeFile(rel + QStringLiteral("/db/daily.cld"), "ClamAV-VDB:daily");
        m_tree.MakeFile(rel + QStringLiteral("/freshclam.log"), "log");
        return m_tree.Path(rel);
    }

    // Connects to `installer`'s signals; the outcome fills in as they come.
    void Watch(EngineInstaller& installer, Outcome* outcome) {
        QObject::connect(&installer, &EngineInstaller::Finished,
                         [outcome](bool installed, bool canceled, const QString& problem) {
                             ++outcome->finished;
                             outcome->installed = installed;
                             outcome->canceled = canceled;
                             outcome->problem = problem;
                         });
        QObject::connect(&installer, &EngineInstaller::UnpackingStarted,
                         [outcome] { ++outcome->unpacking; });
        QObject::connect(&installer, &EngineInstaller::DownloadProgress,
                         [outcome](qint64 received, qint64) { outcome->received = received; });
    }

    Outcome Run(const QString& path, const QString& prefix) {
        EngineInstaller installer(&m_network);
        Outcome outcome;
        Watch(installer, &outcome);
        EXPECT_TRUE(installer.Start(m_server.Url(path), prefix, version));
        EXPECT_TRUE(Varnex::Test::WaitUntil([&] { return outcome.finished > 0; }));
        EXPECT_FALSE(installer.IsRunning());
        return outcome;
    }

    TempTree m_tree;
    LoopbackHttpServer m_server;
    QNetworkAccessManager m_network;
};

TEST_F(EngineInstallerTest, InstallsTheNewEngineInPlaceOfTheOldOne) {
    const QString prefix = MakePrefix(QStringLiteral("prefix"));
    // The old engine's link to a folder of the user: it goes, not what it names.
    m_tree.MakeFile(QStringLiteral("docs/readme"), "mine");
    m_tree.MakeSymlink(m_tree.Path(QStringLiteral("docs")),
                       QStringLiteral("prefix/engine/share/docs"));
    const std::string dbBefore = Snapshot(prefix + QStringLiteral("/db"));
    MakeEngine(m_tree, QStringLiteral("src/av-1.0.3"), "1.0.3");
    const QByteArray archive =
        MakeArchive(m_tree, QStringLiteral("src"), {QStringLiteral("av-1.0.3")});
    m_server.Serve(QStringLiteral("/av.tgz"), {200, archive});

    const Outcome outcome = Run(QStringLiteral("/av.tgz"), prefix);
    EXPECT_TRUE(outcome.installed);
    EXPECT_FALSE(outcome.canceled);
    EXPECT_TRUE(outcome.problem.isEmpty()) << outcome.problem.toStdString();
    EXPECT_EQ(outcome.finished, 1);
    EXPECT_EQ(outcome.unpacking, 1);
    EXPECT_EQ(outcome.received, archive.size());
    EXPECT_EQ(m_server.Hits(QStringLiteral("/av.tgz")), 1);

    // The new engine, whole, and nothing of the old one.
    EXPECT_EQ(Snapshot(prefix + QStringLiteral("/engine")),
              Snapshot(m_tree.Path(QStringLiteral("src/av-1.0.3"))));
    EXPECT_FALSE(m_tree.Exists(QStringLiteral("prefix/engine/share/old-only")));
    EXPECT_EQ(m_tree.Read(QStringLiteral("docs/readme")), "mine");
    // The rest of the prefix untouched, no staging folder or archive left.
    EXPECT_EQ(Snapshot(prefix + QStringLiteral("/db")), dbBefore);
    EXPECT_EQ(m_tree.Read(QStringLiteral("prefix/freshclam.log")), "log");
    EXPECT_EQ(QDir(prefix).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              (QStringList{QStringLiteral("db"), QStringLiteral("engine"),
                           QStringLiteral("freshclam.log")}));
}

TEST_F(EngineInstallerTest, AnyBadDownloadOrArchiveLeavesTheInstalledEngineAlone) {
    // Good and bad engine folders to pack, and files around them.
    MakeEngine(m_tree, QStringLiteral("good/av-1.0.3"), "1.0.3");
    MakeEngine(m_tree, QStringLiteral("wrongversion/av-1.0.3"), "1.0.2");
    MakeEngine(m_tree, QStringLiteral("noclamscan/av-1.0.3"), "1.0.3", false);
    MakeEngine(m_tree, QStringLiteral("etclink/av-1.0.3"), "1.0.3");
    m_tree.MakeSymlink(QStringLiteral("/etc"), QStringLiteral("etclink/av-1.0.3/bin/x"));
    MakeEngine(m_tree, QStringLiteral("climb/av-1.0.3"), "1.0.3");
    m_tree.MakeSymlink(QStringLiteral("../../x"), QStringLiteral("climb/av-1.0.3/bin/up"));
    // Each link stays inside by its names, but m goes through l (the top
    // folder) and climbs two folders above it.
    MakeEngine(m_tree, QStringLiteral("chain/av-1.0.3"), "1.0.3");
    m_tree.MakeSymlink(QStringLiteral("../.."), QStringLiteral("chain/av-1.0.3/a/b/l"));
    m_tree.MakeSymlink(QStringLiteral("l/../../.."), QStringLiteral("chain/av-1.0.3/a/b/m"));
    // A link to a folder outside, and a member written through it.
    MakeEngine(m_tree, QStringLiteral("through/av-1.0.3"), "1.0.3");
    m_tree.MakeFile(QStringLiteral("outside/f"), "outside");
    m_tree.MakeSymlink(m_tree.Path(QStringLiteral("outside")),
                       QStringLiteral("through/av-1.0.3/share"));
    m_tree.MakeFile(QStringLiteral("good/x"), "escaped");
    m_tree.MakeFile(QStringLiteral("good/other/file"), "other");

    const QByteArray good =
        MakeArchive(m_tree, QStringLiteral("good"), {QStringLiteral("av-1.0.3")});
    struct Case {
        const char* name;
        LoopbackHttpServer::Response response;
        const char* problem;  // a part of the reason told
    };
    const auto body = [](const QByteArray& data) {
        LoopbackHttpServer::Response response;
        response.body = data;
        return response;
    };
    LoopbackHttpServer::Response cut = body(good);
    cut.cutAfter = good.size() / 2;
    LoopbackHttpServer::Response notFound = body("<html>Not Found</html>");
    notFound.status = 404;
    LoopbackHttpServer::Response huge = body("x");
    huge.claimedLength = EngineInstaller::archiveLimitBytes + 1;
    const std::vector<Case> cases = {
        {"not-found", notFound, "HTTP 404"},
        {"cut", cut, ""},  // told as a cut or as a closed connection
        {"huge", huge, "too large"},
        {"not-gzip", body(QByteArray(4096, 'z')), "tar could not read"},
        {"dotdot",
         body(MakeArchive(m_tree, QStringLiteral("good"),
                          {QStringLiteral("av-1.0.3"), QStringLiteral("../good/x")}, true)),
         "\"..\""},
        {"absolute",
         body(MakeArchive(m_tree, QStringLiteral("good"),
                          {QStringLiteral("av-1.0.3"), m_tree.Path(QStringLiteral("good/x"))},
                          true)),
         "absolute"},
        {"outside",
         body(MakeArchive(m_tree, QStringLiteral("good"),
                          {QStringLiteral("av-1.0.3"), QStringLiteral("other/file")})),
         "outside the folder"},
        {"etc-link",
         body(MakeArchive(m_tree, QStringLiteral("etclink"), {QStringLiteral("av-1.0.3")})),
         "\"/etc\""},
        {"climbing-link",
         body(MakeArchive(m_tree, QStringLiteral("climb"), {QStringLiteral("av-1.0.3")})),
         "../../x"},
        {"link-chain",
         body(MakeArchive(m_tree, QStringLiteral("chain"), {QStringLiteral("av-1.0.3")})),
         "l/../../.."},
        {"through-link",
         body(MakeArchive(m_tree, QStringLiteral("through"),
                          {QStringLiteral("av-1.0.3"), QStringLiteral("av-1.0.3/share/f")})),
         "no folder"},
        {"wrong-version",
         body(MakeArchive(m_tree, QStringLiteral("wrongversion"), {QStringLiteral("av-1.0.3")})),
         "says \"1.0.2\""},
        {"no-clamscan",
         body(MakeArchive(m_tree, QStringLiteral("noclamscan"), {QStringLiteral("av-1.0.3")})),
         "bin/clamscan"},
    };
    const std::string outsideBefore = Snapshot(m_tree.Path(QStringLiteral("outside")));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString name = QString::fromLatin1(c.name);
        const QString prefix = MakePrefix(QStringLiteral("prefix-") + name);
        const std::string before = Snapshot(prefix);
        if (name != QLatin1String("not-found")) {
            m_server.Serve(QLatin1Char('/') + name, c.response);
        }
        LogCapture log;
        const Outcome outcome = Run(QLatin1Char('/') + name, prefix);
        EXPECT_EQ(outcome.finished, 1);
        EXPECT_FALSE(outcome.installed);
        EXPECT_FALSE(outcome.canceled);
        EXPECT_FALSE(outcome.problem.isEmpty());
        EXPECT_TRUE(outcome.problem.contains(QLatin1String(c.problem)))
            << outcome.problem.toStdString();
        EXPECT_TRUE(log.Contains(google::WARNING, "was not installed", source)) << log.Dump();
        // The working engine byte for byte, the databases, and no staging folder.
        EXPECT_EQ(Snapshot(prefix), before);
    }
    EXPECT_EQ(Snapshot(m_tree.Path(QStringLiteral("outside"))), outsideBefore);
}

// A full disk while the archive is written, and while tar unpacks a file that
// compresses well: nothing installed, the reason told, the old engine whole.
TEST_F(EngineInstallerTest, AFullDiskLeavesTheInstalledEngineAlone) {
    MakeEngine(m_tree, QStringLiteral("noise/av-1.0.3"), "1.0.3");
    QByteArray noise(256 * 1024, '\0');  // does not compress
    QRandomGenerator(42).fillRange(reinterpret_cast<quint32*>(noise.data()),
                                   noise.size() / static_cast<int>(sizeof(quint32)));
    m_tree.MakeFile(QStringLiteral("noise/av-1.0.3/share/noise"), noise);
    MakeEngine(m_tree, QStringLiteral("zeros/av-1.0.3"), "1.0.3");
    m_tree.MakeFile(QStringLiteral("zeros/av-1.0.3/share/zeros"), QByteArray(256 * 1024, '\0'));
    struct Case {
        const char* name;
        const char* problem;
    };
    for (const Case& c : {Case{"noise", "cannot write the archive"}, Case{"zeros", "tar"}}) {
        SCOPED_TRACE(c.name);
        const QString name = QString::fromLatin1(c.name);
        LoopbackHttpServer::Response response;
        response.body = MakeArchive(m_tree, name, {QStringLiteral("av-1.0.3")});
        ASSERT_EQ(response.body.size() > 64 * 1024, name == QLatin1String("noise"));
        m_server.Serve(QLatin1Char('/') + name, response);
        const QString prefix = MakePrefix(QStringLiteral("full-") + name);
        const std::string before = Snapshot(prefix);
        LogCapture log;
        Outcome outcome;
        {
            Varnex::Test::FileSizeLimit full(64 * 1024);  // tar inherits it
            outcome = Run(QLatin1Char('/') + name, prefix);
        }
        EXPECT_EQ(outcome.finished, 1);
        EXPECT_FALSE(outcome.installed);
        EXPECT_FALSE(outcome.canceled);
        EXPECT_TRUE(outcome.problem.contains(QLatin1String(c.problem)))
            << outcome.problem.toStdString();
        EXPECT_TRUE(log.Contains(google::WARNING, "was not installed", source)) << log.Dump();
        EXPECT_EQ(Snapshot(prefix), before);
    }
}

TEST_F(EngineInstallerTest, StartRefusesWhatItCannotDoSafely) {
    for (const char* safe :
         {"0.103.8", "1", "1.0.3-rc1", "1.0-beta.2", "01234567890123456789012345678901"}) {
        EXPECT_TRUE(EngineInstaller::IsSafeVersion(QString::fromLatin1(safe))) << safe;
    }
    for (const char* unsafe :
         {"", "../../etc", "1.0/../x", "1..2", "1.0-rc..1", "a1", "1/2", "1.0\n", "1.0 ", "-1",
          ".1", "1.", "1.0-", "012345678901234567890123456789012", "1.0-x/y"}) {
        EXPECT_FALSE(EngineInstaller::IsSafeVersion(QString::fromLatin1(unsafe))) << unsafe;
    }

    m_server.Serve(QStringLiteral("/av.tgz"), {200, "whatever"});
    const QString prefix = m_tree.Path(QStringLiteral("prefix"));
    LogCapture log;
    EngineInstaller installer(&m_network);
    Outcome outcome;
    Watch(installer, &outcome);
    EXPECT_FALSE(installer.Start(m_server.Url(QStringLiteral("/av.tgz")), prefix,
                                 QStringLiteral("../../etc")));
    EXPECT_FALSE(installer.Start(QUrl(QStringLiteral("no url")), prefix, version));
    EXPECT_FALSE(installer.Start(QUrl(QStringLiteral("file:///etc/passwd")), prefix, version));
    EXPECT_FALSE(installer.Start(m_server.Url(QStringLiteral("/av.tgz")),
                                 QStringLiteral("relative/prefix"), version));
    EngineInstaller offline(nullptr);
    EXPECT_FALSE(offline.Start(m_server.Url(QStringLiteral("/av.tgz")), prefix, version));
    EXPECT_EQ(log.Count(google::WARNING, "Can't update the antivirus engine", source), 5)
        << log.Dump();
    EXPECT_FALSE(m_tree.Exists(QStringLiteral("prefix")));
    EXPECT_EQ(m_server.Hits(QStringLiteral("/av.tgz")), 0);

    // A second Start() while one runs is refused; the first still ends once.
    ASSERT_TRUE(installer.Start(m_server.Url(QStringLiteral("/av.tgz")), prefix, version));
    EXPECT_TRUE(installer.IsRunning());
    EXPECT_FALSE(installer.Start(m_server.Url(QStringLiteral("/av.tgz")), prefix, version));
    ASSERT_TRUE(Varnex::Test::WaitUntil([&] { return outcome.finished > 0; }));
    EXPECT_EQ(outcome.finished, 1);
    EXPECT_FALSE(outcome.installed);  // "whatever" is no archive
    EXPECT_EQ(m_server.Hits(QStringLiteral("/av.tgz")), 1);
    EXPECT_TRUE(QDir(prefix).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

TEST_F(EngineInstallerTest, CancelStopsTheDownloadOrTheUnpackingAndInstallsNothing) {
    MakeEngine(m_tree, QStringLiteral("src/av-1.0.3"), "1.0.3");
    const QByteArray archive =
        MakeArchive(m_tree, QStringLiteral("src"), {QStringLiteral("av-1.0.3")});
    LoopbackHttpServer::Response slow;
    slow.body = archive;
    slow.delayMs = 600000;
    m_server.Serve(QStringLiteral("/slow.tgz"), slow);
    m_server.Serve(QStringLiteral("/av.tgz"), {200, archive});
    // A tar that never ends, for a cancel while it runs.
    m_tree.MakeFile(QStringLiteral("hang/tar"), "#!/bin/sh\nexec sleep 600\n");
    QFile::setPermissions(m_tree.Path(QStringLiteral("hang/tar")), executable);

    enum class When { Downloading, UnpackingStarted, TarRunning };
    for (When when : {When::Downloading, When::UnpackingStarted, When::TarRunning}) {
        SCOPED_TRACE(static_cast<int>(when));
        const QString prefix = MakePrefix(QStringLiteral("prefix-%1").arg(static_cast<int>(when)));
        const std::string before = Snapshot(prefix);
        std::unique_ptr<Varnex::Test::ScopedEnv> path;
        if (when == When::TarRunning) {
            path = std::make_unique<Varnex::Test::ScopedEnv>(
                "PATH", m_tree.Path(QStringLiteral("hang")).toUtf8() + ":/bin:/usr/bin");
        }
        EngineInstaller installer(&m_network);
        Outcome outcome;
        Watch(installer, &outcome);
        if (when == When::UnpackingStarted) {
            QObject::connect(&installer, &EngineInstaller::UnpackingStarted, &installer,
                             [&installer] { installer.Cancel(); });
        }
        const QString urlPath =
            when == When::Downloading ? QStringLiteral("/slow.tgz") : QStringLiteral("/av.tgz");
        ASSERT_TRUE(installer.Start(m_server.Url(urlPath), prefix, version));
        if (when == When::Downloading) {
            ASSERT_TRUE(Varnex::Test::WaitUntil([&] { return m_server.Hits(urlPath) > 0; }));
            installer.Cancel();
            EXPECT_EQ(outcome.finished, 1);  // at once: nothing else to wait for
        } else if (when == When::TarRunning) {
            ASSERT_TRUE(Varnex::Test::WaitUntil([&] { return installer.IsUnpacking(); }));
            installer.Cancel();
            EXPECT_TRUE(installer.IsRunning());  // until tar has exited
        }
        ASSERT_TRUE(Varnex::Test::WaitUntil([&] { return outcome.finished > 0; }));
        EXPECT_EQ(outcome.finished, 1);
        EXPECT_FALSE(outcome.installed);
        EXPECT_TRUE(outcome.canceled);
        EXPECT_FALSE(installer.IsRunning());
        EXPECT_EQ(Snapshot(prefix), before);
    }
}

}  // namespace
