#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QElapsedTimer>
#include <QFile>

#include "CleanerCommon/Process.h"
#include "common/LogCapture.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using namespace Varnex::Cleaner;
using Varnex::Test::LogCapture;
using Varnex::Test::TempTree;

namespace {

const std::string processSource = "src/Libs/CleanerCommon/Process";

QString MakeScript(TempTree& tree, const QString& name, const QByteArray& body) {
    tree.MakeFile(name, "#!/bin/sh\n" + body);
    const QString path = tree.Path(name);
    ::chmod(path.toUtf8().constData(), 0755);
    return path;
}

// True when the process has ended (a zombie nobody reaped has ended too).
bool IsGone(pid_t pid) {
    QFile stat(QString("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) {
        return true;
    }
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    const char state = close >= 0 && close + 2 < text.size() ? text.at(close + 2) : '?';
    return state == 'Z' || state == 'X';
}

}  // namespace

TEST(ReadProcess, ReturnsStandardOutputOnly) {
    TempTree tree;
    const QString script = MakeScript(tree, "report",
                                      "printf 'Memory:\\n\\n  Size: 8 GB\\n'\n"
                                      "printf 'args=%s|%s|%s\\n' \"$1\" \"$2\" \"$3\"\n"
                                      "echo noise >&2\nexit 3\n");
    EXPECT_EQ(ReadProcess(script, "SPMemoryDataType"),
              "Memory:\n\n  Size: 8 GB\nargs=SPMemoryDataType||\n");
    EXPECT_EQ(ReadProcess(script, "-name", "kMDItemLastUsedDate", "/a b/c: d\ne"),
              "Memory:\n\n  Size: 8 GB\nargs=-name|kMDItemLastUsedDate|/a b/c: d\ne\n");
}

TEST(ReadProcess, DecodesUtf8AndKeepsGoingOnBadBytes) {
    TempTree tree;
    const QString script = MakeScript(tree, "names", "printf 'caf\\303\\251 \\377x\\n'\n");
    EXPECT_EQ(ReadProcess(script, QString()),
              QString::fromUtf8("caf\xc3\xa9 ") + QChar(0xFFFD) + "x\n");
}

TEST(ReadProcess, KeepsWhatFollowsANulByte) {
    TempTree tree;
    const QString script = MakeScript(tree, "nul", "printf 'a\\000b\\nc\\n'\n");
    EXPECT_EQ(ReadProcess(script, QString()), QString::fromUtf8("a\0b\nc\n", 6));
}

TEST(ReadProcess, MissingProgramWarnsAndGivesNothing) {
    LogCapture log;
    const QString output = ReadProcess("/nonexistent/klarvik-no-such-tool", "list");
    EXPECT_TRUE(output.isEmpty());
    EXPECT_TRUE(log.Contains(google::WARNING, "klarvik-no-such-tool", processSource)) << log.Dump();
    EXPECT_EQ(log.Count(google::ERROR, ""), 0);
}

TEST(ReadProcess, TimeLimitKillsTheWholeGroupAndKeepsPartialOutput) {
    TempTree tree;
    const QString pidFile = tree.Path("helper.pid");
    // Prints, starts a helper that would outlive it, and never ends by itself.
    const QString script = MakeScript(tree, "hang",
                                      "echo first line\n"
                                      "sleep 300 &\n"
                                      "echo $! > \"$1\"\n"
                                      "echo second line\n"
                                      "sleep 300\n"
                                      "echo never\n");
    LogCapture log;
    QElapsedTimer timer;
    timer.start();
    const QString output = ReadProcess(script, {pidFile}, 2000);
    EXPECT_LT(timer.elapsed(), 60000);
    EXPECT_EQ(output, "first line\nsecond line\n");
    EXPECT_EQ(log.Count(google::ERROR, "hang", processSource), 1) << log.Dump();

    // The helper the script started went down with it.
    QFile file(pidFile);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const pid_t helper = file.readAll().trimmed().toInt();
    ASSERT_GT(helper, 0);
    EXPECT_TRUE(Varnex::Test::WaitUntil([&] { return IsGone(helper); }))
        << "helper " << helper << " still runs";
}

TEST(ReadProcess, FinishesWellWithinTheLimit) {
    LogCapture log;
    EXPECT_EQ(ReadProcess("echo", "hello"), "hello\n");
    EXPECT_EQ(log.Count(google::ERROR, ""), 0);
    EXPECT_EQ(readProcessTimeLimitMs, 30000);
}
