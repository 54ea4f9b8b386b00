// The antivirus scope with the real clamscan and a test signature: what the
// scanner's output may and may not make the scope believe, that nothing is
// removed without a scan of that file alone confirming it, that a dead
// scanner fails the scan, pausing and continuing, and the findings kept
// between runs.
#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/stat.h>

#include <QDataStream>
#include <QFile>
#include <QSignalSpy>

#include "Core/AntiVirusManager.h"
#include "Core/details/AntiVirusScope.h"
#include "Core/details/VirusFindingsFile.h"
#include "common/ClamavFixture.h"
#include "common/ScopedEnv.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using namespace Varnex::Cleaner;
using namespace Varnex::Cleaner::Details;
using Varnex::Test::ClamavFixture;
using Varnex::Test::ScopedEnv;
using Varnex::Test::TempTree;
using Varnex::Test::WaitUntil;

namespace {

const int waitMs = 120000;

// A home, a system root with the engine installed, and a tree to scan.
struct Machine {
    TempTree home;
    TempTree sysroot;
    TempTree tree;
    ScopedEnv homeEnv{"HOME", home.Root().toUtf8()};
    ScopedEnv rootEnv{"KLARVIK_SYSROOT", sysroot.Root().toUtf8()};
    ClamavFixture engine{sysroot.Path("Applications/ClamAV")};
    AntiVirusManager manager{AntiVirusManager::Locations{}, engine.Prefix()};

    QString Infected(const QString& rel) {
        tree.MakeFile(rel, "head " + ClamavFixture::Marker() + " tail");
        return tree.Path(rel);
    }
    QString Clean(const QString& rel, const QByteArray& content = "nothing to see") {
        tree.MakeFile(rel, content);
        return tree.Path(rel);
    }
};

AbstractGarbageScope::FinishReason Scan(AntiVirusScope& scope) {
    QSignalSpy finished(&scope, &AbstractGarbageScope::ScanningFinished);
    scope.StartScanning();
    EXPECT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    EXPECT_EQ(finished.size(), 1);
    return finished.isEmpty() ? AbstractGarbageScope::FAILED
                              : finished.last().at(1).value<AbstractGarbageScope::FinishReason>();
}

AbstractGarbageScope::FinishReason Clean(AntiVirusScope& scope) {
    QSignalSpy finished(&scope, &AbstractGarbageScope::CleaningFinished);
    if (!scope.StartCleaning()) {
        return AbstractGarbageScope::FAILED;
    }
    EXPECT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    return finished.isEmpty() ? AbstractGarbageScope::FAILED
                              : finished.last().at(1).value<AbstractGarbageScope::FinishReason>();
}

QStringList Sorted(QStringList paths) {
    paths.sort();
    return paths;
}

QStringList FindingPaths(const AntiVirusScope& scope) {
    QStringList paths;
    for (AbstractGarbage* root : scope.GetRoots()) {
        paths << root->GetPath();
    }
    paths.sort();
    return paths;
}

}  // namespace

TEST(AntiVirusScope, FindsTheInfectedFilesAndNoInnocentNamedLikeAReport) {
    if (!ClamavFixture::HasClamscan()) {
        GTEST_SKIP() << "clamscan is not installed";
    }
    Machine m;
    const QString infected = m.Infected("docs/invoice.exe");
    const QString odd = m.Infected(QStringLiteral("docs/été, 2: x.bin"));
    // An innocent file whose name makes its "OK" line read as if the file
    // next to it were infected, when split at the first ": ".
    const QString report = m.Clean("docs/report.pdf");
    m.Clean("docs/report.pdf: Evil FOUND");
    // Infected files whose names, cut by a line break, end like a finding of
    // the innocent one (with and without ": " before the break): they are
    // the findings, the innocent file is not.
    const QString cut1 = m.Infected("docs/a\n" + report);
    const QString cut2 = m.Infected("docs/b: x\n" + report);
    // An innocent name whose middle line reads as a finding of the innocent
    // file on its own: it is a line of that name, no result.
    m.Clean("docs/c\n" + report + ": Evil FOUND\nd");
    m.tree.MakeSymlink(infected, "docs/link.exe");
    m.Clean("docs/empty", "");

    AntiVirusScope scope(&m.manager);
    scope.AddPath(m.tree.Path("docs") + "/");
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE) << scope.GetScanProblem().toStdString();
    EXPECT_EQ(FindingPaths(scope), Sorted({odd, infected, cut1, cut2}));
    for (AbstractGarbage* root : scope.GetRoots()) {
        EXPECT_EQ(root->GetDescription(), ClamavFixture::VirusName());
        EXPECT_EQ(root->GetKind(), AbstractGarbage::Kind::INFECTED);
    }
    EXPECT_EQ(scope.GetTotalItems(), 4);
    EXPECT_GE(scope.GetTotalHandledItems(), 6);  // the clean files were reported on too
    // Sizes are what the disk gives back, as cleaning counts it (a length
    // here would make more cleaned than there was to clean).
    long long onDisk = 0;
    for (const QString& path : {odd, infected, cut1, cut2}) {
        struct stat st {};
        ASSERT_EQ(::lstat(path.toUtf8().constData(), &st), 0);
        onDisk += static_cast<long long>(st.st_blocks) * 512;
    }
    ASSERT_GT(onDisk, 0);
    EXPECT_EQ(scope.GetTotalSize(), onDisk);

    // Kept for the next run, the name with ", " and ": " included.
    AntiVirusScope restored(&m.manager);
    EXPECT_EQ(FindingPaths(restored), Sorted({odd, infected, cut1, cut2}));
    EXPECT_EQ(restored.GetTotalHandledItems(), scope.GetTotalHandledItems());

    ASSERT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    EXPECT_FALSE(m.tree.Exists("docs/invoice.exe"));
    EXPECT_FALSE(m.tree.Exists(QStringLiteral("docs/été, 2: x.bin")));
    EXPECT_TRUE(QFile::exists(report));
    EXPECT_FALSE(QFile::exists(cut1) || QFile::exists(cut2));
    EXPECT_TRUE(m.tree.Exists("docs/link.exe"));  // the link itself is no finding
    EXPECT_EQ(scope.GetTotalCleanedItems(), 4);
    EXPECT_EQ(scope.GetTotalCleanedSize(), onDisk);
}

TEST(AntiVirusScope, RemovesNothingThatAScanOfTheFileAloneDoesNotConfirm) {
    if (!ClamavFixture::HasClamscan()) {
        GTEST_SKIP() << "clamscan is not installed";
    }
    Machine m;
    const QString infected = m.Infected("t/real.bin");
    const QString innocent = m.Clean("t/report.pdf", "my thesis");
    m.Clean("outside/passwd");
    m.tree.MakeSymlink(m.tree.Path("t/report.pdf"), "t/alias");
    // What a hostile name (or a broken scanner) can put on the scan's output.
    m.engine.InjectBeforeTreeScans(innocent.toUtf8() + ": Evil.Worm FOUND\n" +
                                   m.tree.Path("outside/passwd").toUtf8() + ": Evil FOUND\n" +
                                   m.tree.Path("t/alias").toUtf8() + ": Evil FOUND\n" +
                                   m.tree.Path("t/../outside/passwd").toUtf8() +
                                   ": Evil FOUND\n");

    AntiVirusScope scope(&m.manager);
    scope.AddPath(m.tree.Path("t"));
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    // Below the path scanned and a regular file: believed for now...
    ASSERT_EQ(FindingPaths(scope), Sorted({innocent, infected}));

    // ...but the scan of that file alone says otherwise: it stays.
    ASSERT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    EXPECT_EQ(m.tree.Read("t/report.pdf"), QByteArray("my thesis"));
    EXPECT_TRUE(m.tree.Exists("outside/passwd"));
    EXPECT_FALSE(m.tree.Exists("t/real.bin"));
    AbstractGarbage* kept = nullptr;
    for (AbstractGarbage* root : scope.GetRoots()) {
        if (root->GetPath() == innocent) {
            kept = root;
        }
    }
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->GetError(), AbstractGarbage::Error::REFUSED);
    EXPECT_FALSE(kept->IsClean());
    EXPECT_EQ(scope.GetTotalCleanedItems(), 1);

    // A finding swapped for another file after the scan is not removed either.
    const QString swapped = m.Infected("t/swapped.bin");
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    ASSERT_TRUE(FindingPaths(scope).contains(swapped));
    // Infected too, but not the file the scan saw (made before the old one
    // goes, so it cannot get its inode back).
    ASSERT_TRUE(QFile::rename(m.Infected("t/swapped.new"), m.tree.Path("t/swapped.tmp")));
    ASSERT_EQ(::rename(m.tree.Path("t/swapped.tmp").toUtf8().constData(), swapped.toUtf8().constData()), 0);
    ASSERT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    EXPECT_TRUE(m.tree.Exists("t/swapped.bin"));
}

// A name with line breaks puts a finding of its own on the scan's output: an
// infected file outside the path scanned, named through a link inside it. It
// is no finding (the scanner follows no link), and it stays, though a scan of
// it alone confirms it and the removal server follows the link (this
// process's own, in folders of its own, when it runs as root).
TEST(AntiVirusScope, ALineNamingAFileThroughALinkedFolderIsNoFinding) {
    if (!ClamavFixture::HasClamscan()) {
        GTEST_SKIP() << "clamscan is not installed";
    }
    Machine m;
    const QString infected = m.Infected("t/real.bin");
    m.Infected("samples/kept.bin");
    m.tree.MakeSymlink(m.tree.Path("samples"), "t/linked");
    m.Clean("t/x\n" + m.tree.Path("t/linked/kept.bin") + ": " + ClamavFixture::VirusName() +
            " FOUND\ny");

    AntiVirusScope scope(&m.manager);
    scope.AddPath(m.tree.Path("t"));
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE) << scope.GetScanProblem().toStdString();
    EXPECT_EQ(FindingPaths(scope), QStringList{infected});
    ASSERT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    EXPECT_TRUE(m.tree.Exists("samples/kept.bin"));
    EXPECT_FALSE(m.tree.Exists("t/real.bin"));
}

// The findings kept in the home folder hold the names of what was found; a
// name that holds the marker makes them match the signature too. Scanning the
// home folder again does not take them for a finding.
TEST(AntiVirusScope, TheKeptFindingsAreNoFindingOfTheirOwn) {
    if (!ClamavFixture::HasClamscan()) {
        GTEST_SKIP() << "clamscan is not installed";
    }
    Machine m;
    m.home.MakeFile("Downloads/" + QString::fromUtf8(ClamavFixture::Marker()) + ".exe",
                    "x" + ClamavFixture::Marker());
    AntiVirusScope scope(&m.manager);
    scope.AddPath(m.home.Root());
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    ASSERT_EQ(scope.GetRoots().size(), 1);
    ASSERT_TRUE(QFile::exists(AntiVirusScope::GetLastVirusesPath()));
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    EXPECT_EQ(FindingPaths(scope).size(), 1) << FindingPaths(scope).join(", ").toStdString();
}

TEST(AntiVirusScope, ADeadScannerOrAMissingEngineFailsTheScanWithTheReason) {
    if (!ClamavFixture::HasClamscan()) {
        GTEST_SKIP() << "clamscan is not installed";
    }
    Machine m;
    m.Infected("t/a.bin");
    AntiVirusScope scope(&m.manager);
    scope.AddPath(m.tree.Path("t"));

    m.engine.RemoveDatabases();  // clamscan exits with 2
    EXPECT_EQ(Scan(scope), AbstractGarbageScope::FAILED);
    EXPECT_TRUE(scope.GetScanProblem().contains("exited with code 2"))
        << scope.GetScanProblem().toStdString();

    // Exit code 1 (a finding) hides errors: the summary tells them.
    m.engine.ReplaceClamscan(
        "echo \"" + m.tree.Path("t/a.bin").toUtf8() +
        ": X FOUND\"\necho\necho '----------- SCAN SUMMARY -----------'\n"
        "echo 'Total errors: 3'\nexit 1\n");
    EXPECT_EQ(Scan(scope), AbstractGarbageScope::FAILED);
    EXPECT_TRUE(scope.GetScanProblem().contains("3 errors")) << scope.GetScanProblem().toStdString();
    // So they do when the last file reported on is gone by the time its line
    // is read (a temporary file): its line is no cut name holding the summary.
    m.engine.ReplaceClamscan(
        "echo \"" + m.tree.Path("t/a.bin").toUtf8() + ": X FOUND\"\necho \"" +
        m.tree.Path("t/gone.tmp").toUtf8() +
        ": OK\"\necho\necho '----------- SCAN SUMMARY -----------'\n"
        "echo 'Known viruses: 1'\necho 'Total errors: 1'\nexit 1\n");
    EXPECT_EQ(Scan(scope), AbstractGarbageScope::FAILED);
    EXPECT_TRUE(scope.GetScanProblem().contains("1 errors")) << scope.GetScanProblem().toStdString();

    QFile::remove(m.engine.ClamscanPath());
    EXPECT_EQ(Scan(scope), AbstractGarbageScope::FAILED);
    EXPECT_TRUE(scope.GetScanProblem().contains("No antivirus engine"));
}

TEST(AntiVirusScope, AStoppedScanIsHeldAndContinuesWithItsFindings) {
    Machine m;
    const QString first = m.Infected("t/first.bin");
    const QString second = m.Infected("t/second.bin");
    const QString go = m.tree.Path("go");
    // Reports one finding, then waits for the test before the second.
    m.engine.ReplaceClamscan("echo \"" + first.toUtf8() + ": Marker FOUND\"\n"
                             "while [ ! -e '" + go.toUtf8() + "' ]; do sleep 0.05; done\n"
                             "echo \"" + second.toUtf8() + ": Marker FOUND\"\nexit 1\n");
    AntiVirusScope scope(&m.manager);
    scope.AddPath(m.tree.Path("t"));
    QSignalSpy started(&scope, &AbstractGarbageScope::ScanningStarted);
    QSignalSpy finished(&scope, &AbstractGarbageScope::ScanningFinished);
    scope.StartScanning();
    ASSERT_TRUE(WaitUntil([&] { return scope.GetRoots().size() == 1; }, waitMs));

    scope.StopScanning();
    ASSERT_EQ(finished.size(), 1);  // at once, not after the scanner ended
    EXPECT_EQ(finished.last().at(1).value<AbstractGarbageScope::FinishReason>(),
              AbstractGarbageScope::CANCELED);
    EXPECT_TRUE(scope.CanContinueScanning());
    EXPECT_EQ(FindingPaths(AntiVirusScope(&m.manager)), QStringList{first});  // saved on the stop

    m.tree.MakeFile("go", "");
    scope.ContinueScanning();
    EXPECT_EQ(started.size(), 2);
    ASSERT_TRUE(WaitUntil([&] { return finished.size() == 2; }, waitMs));
    EXPECT_EQ(finished.last().at(1).value<AbstractGarbageScope::FinishReason>(),
              AbstractGarbageScope::DONE);
    EXPECT_EQ(FindingPaths(scope), Sorted({first, second}));
    EXPECT_FALSE(scope.CanContinueScanning());
}

TEST(AntiVirusScope, ExclusionsHideFindingsAndAreTextNotPatterns) {
    if (!ClamavFixture::HasClamscan()) {
        GTEST_SKIP() << "clamscan is not installed";
    }
    Machine m;
    const QString dotted = m.Infected("t/a.b/x.bin");
    const QString other = m.Infected("t/aXb/x.bin");
    AntiVirusScope scope(&m.manager);
    scope.AddPath(m.tree.Path("t"));
    scope.AddExclusion(m.tree.Path("t/a.b"));
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    ASSERT_EQ(FindingPaths(scope), QStringList{other});

    scope.AddExclusion(m.tree.Path("t/aXb"));
    EXPECT_TRUE(scope.GetRoots().front()->IsClean());
    EXPECT_EQ(scope.GetTotalCleanedItems(), 1);
    EXPECT_FALSE(scope.IsCleaningPossible());
    scope.SetExclusions({m.tree.Path("t/a.b")});
    EXPECT_FALSE(scope.GetRoots().front()->IsClean());
    EXPECT_EQ(scope.GetTotalCleanedItems(), 0);
    EXPECT_TRUE(QFile::exists(dotted));
}

TEST(VirusFindingsFile, ReadsTheOldFormAndKeepsAnyNameInTheNewOne) {
    TempTree dir;
    const QString path = dir.Path("lastViruses");
    QByteArray old;
    {
        QDataStream stream(&old, QIODevice::WriteOnly);
        stream.setByteOrder(QDataStream::BigEndian);
        stream << qint64(42);
    }
    old += "/a/b, c.txt, Eicar-Test, 68\n"
           "garbage line\n"
           "/x/y, NoSize, many\n"
           "\n/z, W32.Worm, 7\n";
    dir.MakeFile("lastViruses", old);
    long long handled = 0;
    std::vector<VirusFindingsFile::Finding> read = VirusFindingsFile::Load(path, &handled);
    EXPECT_EQ(handled, 42);
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].path, "/a/b, c.txt");
    EXPECT_EQ(read[0].name, "Eicar-Test");
    EXPECT_EQ(read[0].size, 68);
    EXPECT_EQ(read[1].path, "/z");

    const std::vector<VirusFindingsFile::Finding> odd{
        {QStringLiteral("/d/line\nbreak, 2: é%20.bin"), "N, 1", 5}, {"/e", "E", 0}};
    ASSERT_TRUE(VirusFindingsFile::Save(dir.Path("new/folder/lastViruses"), 7, odd));
    read = VirusFindingsFile::Load(dir.Path("new/folder/lastViruses"), &handled);
    EXPECT_EQ(handled, 7);
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].path, odd[0].path);
    EXPECT_EQ(read[0].name, odd[0].name);
    EXPECT_EQ(read[1].path, "/e");

    dir.MakeFile("short", "abc");
    read = VirusFindingsFile::Load(dir.Path("short"), &handled);
    EXPECT_TRUE(read.empty());
    EXPECT_EQ(handled, -1);
}

// A damaged file never yields a path it does not hold: a "%00" used to cut
// the path short (naming another file), bad UTF-8 became U+FFFD.
TEST(VirusFindingsFile, LinesWhosePathOrNameIsNotStrictUtf8AreSkipped) {
    TempTree dir;
    QByteArray bytes;
    {
        QDataStream stream(&bytes, QIODevice::WriteOnly);
        stream.setByteOrder(QDataStream::BigEndian);
        stream << qint64(5);
    }
    QByteArray old = bytes;
    old += "/a/b\xff, X, 1\n/a/c, N\xc0\xaf, 2\n/a/ok, \xc3\xa9, 3\n";
    dir.MakeFile("old", old);
    bytes += "#klarvik-findings 2\n"
             "/a/victim%00/../../other, X, 1\n"
             "/a/b%FF, X, 2\n"
             "/a/c, N%00ame, 3\n"
             "/a/d, N%ED%A0%80, 4\n"
             "/a/%C3%A9, Y, 5\n";
    dir.MakeFile("new", bytes);

    long long handled = 0;
    std::vector<VirusFindingsFile::Finding> read = VirusFindingsFile::Load(dir.Path("old"), &handled);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].path, "/a/ok");
    EXPECT_EQ(read[0].name, QString::fromUtf8("\xc3\xa9"));

    read = VirusFindingsFile::Load(dir.Path("new"), &handled);
    EXPECT_EQ(handled, 5);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].path, QString::fromUtf8("/a/\xc3\xa9"));
    EXPECT_EQ(read[0].size, 5);
}

TEST(AntiVirusScope, AStopOrAResetDuringTheConfirmationRemovesNothing) {
    Machine m;
    const QString infected = m.Infected("t/a.bin");
    // Tree scans report the finding; a scan of one file never ends.
    m.engine.ReplaceClamscan("for a in \"$@\"; do [ \"$a\" = -r ] && { echo \"" + infected.toUtf8() +
                             ": Marker FOUND\"; exit 1; }; done\nexec sleep 600\n");
    auto scope = std::make_unique<AntiVirusScope>(&m.manager);
    scope->AddPath(m.tree.Path("t"));
    ASSERT_EQ(Scan(*scope), AbstractGarbageScope::DONE);
    ASSERT_EQ(scope->GetRoots().size(), 1);

    QSignalSpy finished(scope.get(), &AbstractGarbageScope::CleaningFinished);
    ASSERT_TRUE(scope->StartCleaning());
    EXPECT_TRUE(scope->IsCleaning());
    scope->StopCleaning();
    ASSERT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    EXPECT_EQ(finished.last().at(1).value<AbstractGarbageScope::FinishReason>(),
              AbstractGarbageScope::CANCELED);
    EXPECT_TRUE(m.tree.Exists("t/a.bin"));
    EXPECT_EQ(scope->GetTotalCleanedItems(), 0);

    // Destroyed while it confirms: the check ends with it.
    ASSERT_TRUE(scope->StartCleaning());
    scope.reset();
    EXPECT_TRUE(m.tree.Exists("t/a.bin"));
}
