// The front end as a user runs it: the real program on real temporary trees.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "CleanerCommon/Sizes.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using Varnex::Test::RunProgram;
using Varnex::Test::TempTree;

namespace {

struct Outcome {
    int code;
    QByteArray out;
    QByteArray err;
    QJsonObject json;
};

Outcome Klarvik(const QStringList& args, const QByteArray& input = {}) {
    Outcome r;
    r.code = RunProgram(KLARVIK_PROGRAM, args, &r.out, &r.err, input);
    r.json = QJsonDocument::fromJson(r.out).object();
    return r;
}

// The program started by hand: its arguments as raw bytes (QProcess would
// pass them through the locale), extra environment entries, standard input on
// a pseudo-terminal when asked, as at a user's prompt, and run through
// `wrapper` (a command that runs another) when given.
class Child {
public:
    explicit Child(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                   bool terminal = false, const std::vector<std::string>& wrapper = {}) {
        std::vector<std::string> all = wrapper;
        all.push_back(KLARVIK_PROGRAM);
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        std::vector<std::string> vars = env;
        for (char** e = environ; *e; ++e) {
            vars.emplace_back(*e);  // putenv order: the first of a name wins in getenv
        }
        std::vector<char*> envp;
        for (std::string& v : vars) {
            envp.push_back(v.data());
        }
        envp.push_back(nullptr);

        int input = -1;
        if (terminal) {
            m_terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
            EXPECT_GE(m_terminal, 0);
            EXPECT_EQ(::grantpt(m_terminal), 0);
            EXPECT_EQ(::unlockpt(m_terminal), 0);
            input = ::open(::ptsname(m_terminal), O_RDWR | O_NOCTTY);
        } else {
            input = ::open("/dev/null", O_RDONLY);
        }
        int outPipe[2];
        int errPipe[2];
        EXPECT_EQ(::pipe(outPipe), 0);
        EXPECT_EQ(::pipe(errPipe), 0);
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
        ::posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
        ::posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
        EXPECT_EQ(::posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
        ::posix_spawn_file_actions_destroy(&actions);
        for (int fd : {input, outPipe[1], errPipe[1]}) {
            ::close(fd);
        }
        m_fds[0] = outPipe[0];
        m_fds[1] = errPipe[0];
    }
    ~Child() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            Finish();
        }
        for (int fd : {m_fds[0], m_fds[1], m_terminal}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    // Reads the output until standard error holds `text` (true) or both ends closed.
    bool WaitForError(const QByteArray& text) {
        while (!err.contains(text)) {
            if (!ReadSome()) {
                return false;
            }
        }
        return true;
    }
    void Signal(int signal) { ::kill(m_pid, signal); }
    // Types on the terminal the program reads.
    void Type(const QByteArray& text) {
        EXPECT_EQ(::write(m_terminal, text.constData(), static_cast<size_t>(text.size())),
                  text.size());
    }
    // The exit code after all output was read; -1 when it was killed or hung.
    int Finish() {
        while (ReadSome()) {
        }
        const pid_t pid = m_pid;
        m_pid = -1;
        const bool hung = m_fds[0] >= 0 || m_fds[1] >= 0;
        if (hung && pid > 0) {
            ::kill(pid, SIGKILL);
        }
        int status = 0;
        if (pid <= 0 || ::waitpid(pid, &status, 0) != pid || hung) {
            return -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    QByteArray out;
    QByteArray err;

private:
    // One read from whichever pipe is ready; false once both closed or after
    // a generous bound (a hung program then fails its test rather than hangs).
    bool ReadSome() {
        pollfd fds[2] = {{m_fds[0], POLLIN, 0}, {m_fds[1], POLLIN, 0}};
        if (m_fds[0] < 0 && m_fds[1] < 0) {
            return false;
        }
        const int left = static_cast<int>(m_deadline.remainingTime());
        if (::poll(fds, 2, left) <= 0) {
            return false;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = ::read(m_fds[i], buffer, sizeof buffer);
            if (n <= 0) {
                ::close(m_fds[i]);
                m_fds[i] = -1;
            } else {
                (i == 0 ? out : err).append(buffer, static_cast<int>(n));
            }
        }
        return true;
    }

    pid_t m_pid = -1;
    int m_fds[2] = {-1, -1};
    int m_terminal = -1;
    QDeadlineTimer m_deadline{120000};
};

// Run by root, the program runs as "nobody" (root reads every folder): the
// tree is given to that user first.
std::vector<std::string> AsAnotherUser(const TempTree& tree) {
    if (::geteuid() != 0) {
        return {};
    }
    EXPECT_EQ(RunProgram("chown", {"-R", "65534:65534", tree.Root()}), 0);
    return {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
}

// An immutable file for the life of the object: even root cannot unlink it.
class Immutable {
public:
    explicit Immutable(const std::string& path) : m_fd(::open(path.c_str(), O_RDONLY)) {
        int flags = 0;
        m_set = m_fd >= 0 && ::ioctl(m_fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                (flags |= FS_IMMUTABLE_FL, ::ioctl(m_fd, FS_IOC_SETFLAGS, &flags) == 0);
    }
    ~Immutable() {
        int flags = 0;
        if (m_set && ::ioctl(m_fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags &= ~FS_IMMUTABLE_FL;
            ::ioctl(m_fd, FS_IOC_SETFLAGS, &flags);
        }
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    bool IsSet() const { return m_set; }

private:
    int m_fd;
    bool m_set = false;
};

// Finds an item by path anywhere in a JSON tree.
QJsonObject Find(const QJsonArray& items, const QString& path) {
    for (const QJsonValue& v : items) {
        const QJsonObject item = v.toObject();
        if (item.value("path").toString() == path) {
            return item;
        }
        const QJsonObject inner = Find(item.value("children").toArray(), path);
        if (!inner.isEmpty()) {
            return inner;
        }
    }
    return {};
}

// Every entry below `root`, relative to it; links are listed, never followed.
QSet<QString> Entries(const QString& root) {
    QSet<QString> out;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        out.insert(it.next().mid(root.size() + 1));
    }
    return out;
}

QSet<QString> Strings(const QJsonArray& list) {
    QSet<QString> out;
    for (const QJsonValue& v : list) {
        out.insert(v.toString());
    }
    return out;
}

struct Sample {
    TempTree t;
    Sample() {
        t.MakeFile("Caches/com.app/data", QByteArray(1000, 'd'));
        t.MakeFile("Caches/com.app/nested/more", QByteArray(500, 'm'));
        t.MakeFile(QString::fromUtf8("Caches/caf\xc3\xa9/new\nline"), "x");
        t.MakeFile("Caches/Varnex/own", "ours");
        t.MakeFile("Caches/keep-me/k", "k");
        t.MakeFile("outside/precious", "p");
        t.MakeSymlink(t.Path("outside"), "Caches/link");
    }
};

}  // namespace

TEST(Klarvik, ScanPrintsTheTreeAsJson) {
    Sample s;
    const Outcome r = Klarvik({"scan", "--kind", "caches", "--json", s.t.Path("Caches")});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.json.value("kind").toString(), "caches");
    EXPECT_EQ(r.json.value("finished").toString(), "done");
    EXPECT_EQ(r.json.value("cleaned_items").toInt(), 0);
    const QJsonArray items = r.json.value("items").toArray();
    ASSERT_EQ(items.size(), 1);
    const QJsonObject root = items.at(0).toObject();
    EXPECT_EQ(root.value("name").toString(), s.t.Path("Caches")) << "cache roots are named by path";
    EXPECT_EQ(root.value("check").toString(), "checked");
    EXPECT_EQ(root.value("status").toString(), "ready");
    const QJsonObject data = Find(items, s.t.Path("Caches/com.app/data"));
    EXPECT_EQ(data.value("size").toDouble(), s.t.DiskUsage("Caches/com.app/data"));
    EXPECT_EQ(data.value("apparent_size").toInt(), 1000);
    EXPECT_EQ(data.value("error").toString(), "ok");
    EXPECT_TRUE(Find(items, s.t.Path("Caches/Varnex")).isEmpty())
        << "the application's own folder is excluded";
    EXPECT_FALSE(Find(items, QString::fromUtf8("%1/caf\xc3\xa9/new\nline").arg(s.t.Path("Caches")))
                     .isEmpty());
    EXPECT_EQ(r.json.value("total_items").toInt(), 10);
    EXPECT_TRUE(s.t.Exists("Caches/com.app/data")) << "a scan removes nothing";
}

TEST(Klarvik, CleanRemovesWhatIsSelectedAndKeepsTheRest) {
    Sample s;
    const long long selected = s.t.ContentsDiskUsage("Caches") - s.t.DiskUsage("Caches/Varnex") -
                               s.t.DiskUsage("Caches/keep-me");
    const Outcome r = Klarvik({"clean", "--kind", "caches", "--yes", "--json", "--exclude",
                               "keep-me", s.t.Path("Caches")});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.json.value("finished").toString(), "done");
    // Exactly what was planned went, and everything else is as it was.
    const QString cafe = QString::fromUtf8("Caches/caf\xc3\xa9");
    const QSet<QString> kept{"Caches",          "Caches/Varnex",    "Caches/Varnex/own",
                             "Caches/keep-me",  "Caches/keep-me/k", "outside",
                             "outside/precious"};
    EXPECT_EQ(Entries(s.t.Root()), kept);
    EXPECT_EQ(s.t.Read("outside/precious"), "p");
    QSet<QString> removed;
    for (const QString& rel :
         {QString("Caches/com.app/data"), QString("Caches/com.app/nested/more"),
          QString("Caches/com.app/nested"), QString("Caches/com.app"), cafe + "/new\nline", cafe,
          QString("Caches/link")}) {
        removed.insert(s.t.Path(rel));
    }
    EXPECT_EQ(Strings(r.json.value("removed").toArray()), removed);
    EXPECT_TRUE(r.json.value("failed").toArray().isEmpty());
    EXPECT_EQ(r.json.value("cleaned_size").toDouble(), selected);
    EXPECT_EQ(Find(r.json.value("items").toArray(), s.t.Path("Caches/com.app"))
                  .value("status")
                  .toString(),
              "clean");
}

TEST(Klarvik, AnExcludedPathIsKeptInAnySpellingAndDotDotIsRefused) {
    Sample s;
    const Outcome dotDot = Klarvik({"clean", "--kind", "caches", "--yes", "--exclude",
                                    s.t.Path("Caches/com.app/../keep-me"), s.t.Path("Caches")});
    EXPECT_EQ(dotDot.code, 2);
    EXPECT_TRUE(dotDot.err.contains("--exclude")) << dotDot.err.toStdString();
    EXPECT_TRUE(s.t.Exists("Caches/com.app/data"));

    const Outcome r = Klarvik({"clean", "--kind", "caches", "--yes", "--exclude",
                               s.t.Root() + "//Caches/./keep-me/.", s.t.Path("Caches")});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(s.t.Exists("Caches/keep-me/k"));
    EXPECT_FALSE(s.t.Exists("Caches/com.app"));
    // After cleaning: the totals and the failures, not the list and the tree again.
    EXPECT_FALSE(r.out.contains("removed: ")) << r.out.toStdString();
    EXPECT_FALSE(r.out.contains("After cleaning"));
    EXPECT_TRUE(r.out.endsWith("; 0 failed (done)\n")) << r.out.toStdString();

    // The root through a link, the exclusion by the real path, and the other
    // way round: kept either way. A relative spelling the scan never uses is
    // refused, not left to protect nothing.
    s.t.MakeFile("Caches/com.app/data", "x");
    s.t.MakeSymlink(s.t.Path("Caches"), "Link");
    for (const auto& [root, keep] : {std::pair{s.t.Path("Link"), s.t.Path("Caches/keep-me")},
                                     std::pair{s.t.Path("Caches"), s.t.Path("Link/keep-me")}}) {
        const Outcome linked =
            Klarvik({"clean", "--kind", "caches", "--yes", "--exclude", keep, root});
        EXPECT_EQ(linked.code, 0) << linked.err.toStdString();
        EXPECT_TRUE(s.t.Exists("Caches/keep-me/k")) << root.toStdString();
    }
    // The root below the excluded folder through a link, a file root through
    // a linked folder, and an excluded link: each stays.
    s.t.MakeFile("Caches/keep-me/file", "f");
    s.t.MakeSymlink(s.t.Path("outside"), "Caches/keep-me/a-link");
    const std::pair<QString, QString> spelled[] = {
        {s.t.Path("Link/keep-me"), s.t.Path("Caches")},
        {s.t.Path("Link/keep-me/file"), s.t.Path("Caches/keep-me/file")},
        {s.t.Path("Link/keep-me"), s.t.Path("Caches/keep-me/a-link")}};
    for (const auto& [root, keep] : spelled) {
        Klarvik({"clean", "--kind", "shredder", "--yes", "--exclude", keep, root});
        // A root wholly excluded gives no tree (exit 2); either way it stays.
        EXPECT_TRUE(s.t.Exists(keep.mid(s.t.Root().size() + 1))) << root.toStdString();
        EXPECT_TRUE(s.t.Exists("Caches/keep-me/a-link"));
        if (keep.endsWith("/file")) {
            EXPECT_EQ(s.t.Read("Caches/keep-me/file"), "f") << "not shredded";
        }
    }
    s.t.MakeFile("Caches/keep-me/k", "k");
    for (const char* odd : {"./keep-me", "keep-me/.", "Caches//keep-me", "../Caches/keep-me"}) {
        const Outcome refused =
            Klarvik({"clean", "--kind", "caches", "--yes", "--exclude", odd, s.t.Path("Caches")});
        EXPECT_EQ(refused.code, 2) << odd;
    }
    EXPECT_TRUE(s.t.Exists("Caches/keep-me/k"));
}

TEST(Klarvik, CleanRefusesWithoutConsentWhenNotOnATerminal) {
    Sample s;
    const Outcome r = Klarvik({"clean", "--kind", "caches", s.t.Path("Caches")});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.contains("--yes")) << r.err.toStdString();
    EXPECT_TRUE(s.t.Exists("Caches/com.app/data"));

    const Outcome dry = Klarvik({"clean", "--kind", "caches", "--dry-run", s.t.Path("Caches")});
    EXPECT_EQ(dry.code, 0);
    EXPECT_TRUE(dry.out.contains(("would remove: " + s.t.Path("Caches/com.app/data")).toUtf8()));
    EXPECT_TRUE(s.t.Exists("Caches/com.app/data"));
    const Outcome one =
        Klarvik({"clean", "--kind", "caches", "--dry-run", s.t.Path("Caches/com.app/data")});
    const QByteArray size =
        Varnex::Cleaner::FormatSize(s.t.DiskUsage("Caches/com.app/data"), 0).toUtf8();
    EXPECT_TRUE(one.out.contains("Total: 1 item, " + size + " (done)\n")) << one.out.toStdString();
    EXPECT_TRUE(one.out.contains("Would remove 1 item, " + size + "\n"));
}

TEST(Klarvik, DiskUsageSelectsNothingByDefaultAndTheShredderOverwrites) {
    Sample s;
    const Outcome usage = Klarvik({"clean", "--kind", "disk-usage", "--yes", s.t.Path("Caches")});
    EXPECT_EQ(usage.code, 0) << usage.err.toStdString();
    EXPECT_TRUE(s.t.Exists("Caches/com.app/data")) << "nothing is selected in the disk-usage view";

    const Outcome shred =
        Klarvik({"clean", "--kind", "shredder", "--yes", "--json", s.t.Path("Caches/com.app")});
    EXPECT_EQ(shred.code, 0) << shred.err.toStdString();
    EXPECT_FALSE(s.t.Exists("Caches/com.app/data"));
}

TEST(Klarvik, BadUsageIsExitTwoInPlainWords) {
    EXPECT_EQ(Klarvik({}).code, 2);
    const Outcome kind = Klarvik({"scan", "--kind", "everything", "/tmp"});
    EXPECT_EQ(kind.code, 2);
    EXPECT_TRUE(kind.err.contains("unknown kind"));
    EXPECT_EQ(Klarvik({"clean"}).code, 2);  // which scopes?
    EXPECT_EQ(Klarvik({"scan", "no-such-scope"}).code, 2);
    EXPECT_EQ(Klarvik({"frobnicate", "/tmp"}).code, 2);
    const Outcome version = Klarvik({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_TRUE(version.out.startsWith("klarvik "));
}

TEST(Klarvik, AnArgumentThatIsNotUtf8IsRefusedWhateverTheLocale) {
    TempTree t;
    // "y\xff" must not be read as "y\xef\xbf\xbd" (U+FFFD) or as "y\xc3\xbf"
    // (U+00FF, Latin-1): each of those is a folder of its own here.
    for (const std::string& name : {std::string("y\xef\xbf\xbd"), std::string("y\xc3\xbf")}) {
        t.MakeFileBytes(name + "/Caches/data", "d");
    }
    t.MakeFileBytes("y\xff/Caches/data", "d");
    const std::string bad = t.Bytes("y\xff/Caches");
    for (const char* locale : {"LC_ALL=C", "LC_ALL=C.UTF-8"}) {
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"clean", "--kind", "caches", "--yes", bad},
              std::vector<std::string>{"clean", "--kind", "caches", "--yes", "--exclude",
                                       t.Bytes("y\xff/Caches/data"), t.Bytes("y\xc3\xbf/Caches")},
              std::vector<std::string>{"scan", "--kind", "caches", "--exclude=\x1b[2J\xfe", bad}}) {
            Child c(args, {locale});
            EXPECT_EQ(c.Finish(), 2) << locale << ": " << c.err.toStdString();
            EXPECT_TRUE(c.err.contains("not valid UTF-8")) << c.err.toStdString();
            EXPECT_TRUE(c.err.contains("\\x")) << "the bytes are named, escaped";
            EXPECT_FALSE(c.err.contains('\x1b')) << c.err.toStdString();
            EXPECT_TRUE(c.out.isEmpty());
        }
    }
    EXPECT_TRUE(t.ExistsBytes("y\xff/Caches/data"));
    EXPECT_TRUE(t.ExistsBytes("y\xef\xbf\xbd/Caches/data"));
    EXPECT_TRUE(t.ExistsBytes("y\xc3\xbf/Caches/data"));
    // The same run with UTF-8 bytes cleans that folder and only that one.
    Child good({"clean", "--kind", "caches", "--yes", t.Bytes("y\xc3\xbf/Caches")}, {"LC_ALL=C"});
    EXPECT_EQ(good.Finish(), 0) << good.err.toStdString();
    EXPECT_FALSE(t.ExistsBytes("y\xc3\xbf/Caches/data"));
    EXPECT_TRUE(t.ExistsBytes("y\xff/Caches/data"));
}

TEST(Klarvik, NamesReachTheTerminalEscaped) {
    TempTree t;
    t.MakeFile("Caches/forged\nremoved: passwd", "1");
    t.MakeFile("Caches/back\rover", "2");
    t.MakeFile("Caches/paint\x1b[2J", "3");
    t.MakeFile(QString::fromUtf8("Caches/c1\xc2\x9b"
                                 "31m"),
               "4");
    t.MakeFile("Caches/slash\\n", "5");
    t.MakeFile("Caches/title\x1b]0;x\a/locked\tfile", "6");
    const Immutable locked(t.Bytes("Caches/title\x1b]0;x\a/locked\tfile"));
    const QByteArray block =
        Varnex::Cleaner::FormatSize(t.DiskUsage("Caches/slash\\n"), 0).toUtf8();
    const QString caches = t.Path("Caches");
    const QByteArray root = caches.toUtf8();
    const Outcome scan = Klarvik({"scan", "--kind", "caches", caches});
    const Outcome dry = Klarvik({"clean", "--kind", "caches", "--dry-run", caches});
    const Outcome clean = Klarvik({"clean", "--kind", "caches", "--yes", "--list", caches});
    for (const Outcome* r : {&scan, &dry, &clean}) {
        int raw = 0;
        for (const char c : r->out + r->err) {
            const auto b = static_cast<unsigned char>(c);
            raw += b != '\n' && (b < 0x20 || b == 0x7f);
        }
        EXPECT_EQ(raw, 0) << r->out.toStdString();
        EXPECT_FALSE(r->out.contains("\xc2\x9b"));
        for (const QByteArray& line : r->out.split('\n')) {
            EXPECT_FALSE(line.startsWith("removed: passwd")) << "a forged line";
        }
    }
    // The size right-aligned, the name indented below its root.
    EXPECT_TRUE(scan.out.contains(block.rightJustified(8) + "    back\\rover  ready\n"))
        << scan.out.toStdString();
    EXPECT_TRUE(scan.out.contains(block.rightJustified(8) + "    slash\\\\n  ready\n"))
        << "a backslash is escaped too";
    EXPECT_TRUE(dry.out.contains("would remove: " + root + "/forged\\nremoved: passwd\n"));
    EXPECT_TRUE(dry.out.contains("would remove: " + root + "/c1\\u009b31m\n"));
    EXPECT_TRUE(clean.out.contains("removed: " + root + "/paint\\x1b[2J\n"))
        << clean.out.toStdString();
    EXPECT_FALSE(t.Exists("Caches/paint\x1b[2J"));
    EXPECT_TRUE(clean.out.contains("After cleaning:\n")) << "--list shows the tree again";
    if (locked.IsSet()) {
        EXPECT_TRUE(clean.out.contains("failed: " + root + "/title\\x1b]0;x\\x07/locked\\tfile ("))
            << clean.out.toStdString();
    }
}

// A system folder bind-mounted elsewhere is refused there too (in a mount
// namespace of its own, so nothing is left mounted).
TEST(Klarvik, ASystemFolderMountedElsewhereIsRefused) {
    TempTree t;
    t.MakeDir("mounted");
    QByteArray out, err;
    const QString script = QStringLiteral(
        "mount --bind /usr/share \"$1\" 2>/dev/null || exit 77; "
        "exec \"$2\" clean --kind caches --dry-run \"$1\"");
    const int code = Varnex::Test::RunProgram("/usr/bin/unshare",
                                              {"-m", "--propagation", "private", "sh", "-c", script,
                                               "sh", t.Path("mounted"), KLARVIK_PROGRAM},
                                              &out, &err);
    if (code == 77 || (code != 2 && err.contains("unshare"))) {
        GTEST_SKIP() << "mount namespaces need privileges";
    }
    EXPECT_EQ(code, 2) << out.data();
    EXPECT_TRUE(err.contains("mounted from \"/usr/share\"")) << err.data();
    EXPECT_FALSE(out.contains("would remove")) << out.data();
}

TEST(Klarvik, EachRefusedRootIsNamedWithItsReason) {
    Sample s;
    s.t.MakeSymlink("/usr/lib", "to-lib");
    const QString sysUsr = Varnex::Test::TestSysRoot() + "/usr/x";
    ASSERT_TRUE(QDir().mkpath(sysUsr));
    QFile cache(sysUsr + "/cache");
    ASSERT_TRUE(cache.open(QIODevice::WriteOnly));
    cache.close();
    const QStringList bad{s.t.Path("missing"),
                          "relative",
                          "a/../a",
                          s.t.Path("Caches/../Caches"),
                          "./",
                          "//",
                          "/",
                          "/etc",
                          "/usr",
                          Varnex::Test::TestHome(),
                          "/usr/lib",
                          sysUsr,
                          s.t.Path("to-lib")};
    const Outcome none = Klarvik(QStringList{"clean", "--kind", "caches", "--yes"} + bad);
    EXPECT_EQ(none.code, 2) << none.err.toStdString();
    const QList<QByteArray> lines = none.err.trimmed().split('\n');
    ASSERT_EQ(lines.size(), bad.size() + 1) << none.err.toStdString();
    for (int i = 0; i < bad.size(); ++i) {
        EXPECT_TRUE(lines[i].startsWith("klarvik: not scanning \"" + bad[i].toUtf8() + "\": "))
            << lines[i].toStdString();
    }
    EXPECT_TRUE(lines.last().contains("no root could be scanned"));
    EXPECT_TRUE(none.out.isEmpty());
    EXPECT_TRUE(lines[11].contains("system's own folder")) << lines[11].toStdString();
    EXPECT_TRUE(lines[12].contains("leads to \"/usr/lib\"")) << lines[12].toStdString();
    EXPECT_TRUE(QFile::exists(sysUsr + "/cache"));

    // The good root is cleaned all the same; the run says it was not all.
    const Outcome some =
        Klarvik({"clean", "--kind", "caches", "--yes", s.t.Path("missing"), s.t.Path("Caches")});
    EXPECT_EQ(some.code, 1) << some.err.toStdString();
    EXPECT_FALSE(s.t.Exists("Caches/com.app"));

    // The disk-usage view only looks: a system folder may be scanned, not cleaned.
    EXPECT_EQ(Klarvik({"scan", "--kind", "disk-usage", sysUsr}).code, 0);
    EXPECT_EQ(Klarvik({"clean", "--kind", "disk-usage", "--yes", sysUsr}).code, 2);
    EXPECT_TRUE(QFile::exists(sysUsr + "/cache"));
}

TEST(Klarvik, ErrorsAnywhereInTheTreeAndSkippedEntriesAreTold) {
    TempTree t;
    t.MakeFile("Caches/open/f", "f");
    t.MakeFile("Caches/closed/g", "g");
    t.MakeFileBytes("Caches/odd/bad\xff", "b");
    t.MakeFile("Unreadable/h", "h");
    const std::vector<std::string> user = AsAnotherUser(t);
    ASSERT_EQ(::chmod(t.Bytes("Caches/closed").c_str(), 0), 0);
    ASSERT_EQ(::chmod(t.Bytes("Unreadable").c_str(), 0), 0);
    const std::string caches = t.Bytes("Caches");

    Child scan({"scan", "--kind", "caches", "--json", caches}, {}, false, user);
    const int scanned = scan.Finish();
    if (scan.err.contains("setpriv:")) {
        GTEST_SKIP() << "cannot run as another user: " << scan.err.toStdString();
    }
    EXPECT_EQ(scanned, 1) << "an unreadable folder below the root: " << scan.err.toStdString();
    const QJsonObject doc = QJsonDocument::fromJson(scan.out).object();
    EXPECT_EQ(doc.value("items_in_error").toInt(), 1);
    EXPECT_EQ(doc.value("skipped").toObject().value("unreadable_folders").toInt(), 1);
    EXPECT_EQ(doc.value("skipped").toObject().value("not_utf8_names").toInt(), 1);
    EXPECT_EQ(Find(doc.value("items").toArray(), t.Path("Caches/closed")).value("error"),
              "permission_denied");

    Child clean({"clean", "--kind", "caches", "--yes", caches}, {}, false, user);
    EXPECT_EQ(clean.Finish(), 1) << clean.err.toStdString();
    EXPECT_TRUE(clean.out.contains("Skipped: 1 unreadable folder (")) << clean.out.toStdString();
    EXPECT_TRUE(clean.out.contains(", 1 name that cannot be read as UTF-8 ("));
    EXPECT_FALSE(t.Exists("Caches/open"));
    EXPECT_TRUE(t.ExistsBytes("Caches/odd/bad\xff"));
    ::chmod(t.Bytes("Caches/closed").c_str(), 0755);
    EXPECT_TRUE(t.Exists("Caches/closed/g"));

    Child root({"clean", "--kind", "caches", "--yes", t.Bytes("Unreadable")}, {}, false, user);
    EXPECT_EQ(root.Finish(), 1) << "not 0 with nothing selected";
    EXPECT_TRUE(root.err.contains("nothing was removed")) << root.err.toStdString();
    EXPECT_TRUE(root.out.contains("Skipped: 1 unreadable folder"));
    ::chmod(t.Bytes("Unreadable").c_str(), 0755);
}

TEST(Klarvik, OneCtrlCAtThePromptEndsTheRunWithNothingRemoved) {
    Sample s;
    const QSet<QString> before = Entries(s.t.Root());
    const std::string caches = s.t.Bytes("Caches");
    Child interrupted({"clean", "--kind", "caches", caches}, {}, true);
    ASSERT_TRUE(interrupted.WaitForError("? [y/N] ")) << interrupted.err.toStdString();
    EXPECT_TRUE(interrupted.err.contains("Remove 9 items (")) << interrupted.err.toStdString();
    interrupted.Signal(SIGINT);
    EXPECT_EQ(interrupted.Finish(), 130) << interrupted.err.toStdString();
    EXPECT_TRUE(interrupted.err.contains("nothing was removed"));
    EXPECT_EQ(Entries(s.t.Root()), before);

    Child answered({"clean", "--kind", "caches", caches}, {}, true);
    ASSERT_TRUE(answered.WaitForError("? [y/N] "));
    answered.Type("y\n");
    EXPECT_EQ(answered.Finish(), 0) << answered.err.toStdString();
    EXPECT_FALSE(s.t.Exists("Caches/com.app"));
    EXPECT_TRUE(s.t.Exists("outside/precious"));
}

TEST(Klarvik, SelectChecksExactlyThosePathsAndAnUnknownOneRemovesNothing) {
    Sample s;
    const QSet<QString> before = Entries(s.t.Root());
    const Outcome unknown =
        Klarvik({"clean", "--kind", "caches", "--yes", "--select", s.t.Path("Caches/keep-me"),
                 "--select", s.t.Path("Caches/nope"), s.t.Path("Caches")});
    EXPECT_EQ(unknown.code, 2);
    EXPECT_TRUE(unknown.err.contains("--select \"" + s.t.Path("Caches/nope").toUtf8() + "\""))
        << unknown.err.toStdString();
    EXPECT_EQ(
        Klarvik({"clean", "--kind", "caches", "--yes", "--select", "keep-me", s.t.Path("Caches")})
            .code,
        2);
    EXPECT_EQ(Entries(s.t.Root()), before);

    // Caches are all selected by default: only what is named goes.
    const Outcome r = Klarvik({"clean", "--kind", "caches", "--yes", "--json", "--select",
                               s.t.Path("Caches/com.app/data"), "--select",
                               s.t.Path("Caches//keep-me/"), s.t.Path("Caches")});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(Strings(r.json.value("removed").toArray()),
              (QSet<QString>{s.t.Path("Caches/com.app/data"), s.t.Path("Caches/keep-me/k"),
                             s.t.Path("Caches/keep-me")}));
    QSet<QString> left = before;
    for (const char* gone : {"Caches/com.app/data", "Caches/keep-me/k", "Caches/keep-me"}) {
        left.remove(gone);
    }
    EXPECT_EQ(Entries(s.t.Root()), left);
}

namespace {

// Names a script must get back exactly: a line break, a quote, a backslash, an
// escape sequence, DEL, a line separator, accents, CJK and a character beyond
// the BMP (a surrogate pair in UTF-16).
struct Hostile {
    TempTree t;
    const QString inner =
        QString::fromUtf8("caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xe2\x80\xa8 \xf0\x9f\x98\x80\x7f");
    Hostile() {
        t.MakeFile("Caches/new\nline", "1");
        t.MakeFile("Caches/q\"uote", "22");
        t.MakeFile("Caches/back\\slash", "333");
        t.MakeFile("Caches/esc\x1b[2J/" + inner, "4444");
    }
};

// An array of items with the children of each sorted by path, at every level.
QJsonArray ByPath(const QJsonArray& items) {
    QList<QJsonObject> list;
    for (const QJsonValue& v : items) {
        QJsonObject item = v.toObject();
        if (item.contains("children")) {
            item.insert("children", ByPath(item.value("children").toArray()));
        }
        list.append(item);
    }
    std::sort(list.begin(), list.end(), [](const QJsonObject& a, const QJsonObject& b) {
        return a.value("path").toString() < b.value("path").toString();
    });
    QJsonArray out;
    for (const QJsonObject& item : list) {
        out.append(item);
    }
    return out;
}

// A file item gives its length as well (apparent >= 0).
QJsonObject Item(const QString& path, const QString& name, long long size,
                 const QJsonArray& children, long long apparent = -1) {
    QJsonObject item{
        {"path", path},        {"name", name},      {"size", static_cast<double>(size)},
        {"check", "checked"},  {"status", "ready"}, {"error", "ok"},
        {"children", children}};
    if (apparent >= 0) {
        item.insert("apparent_size", static_cast<double>(apparent));
    }
    return item;
}

// Every item of a JSON tree by path, as a --jsonl record of it would be.
void Flatten(const QJsonArray& items, const QJsonValue& parent, int depth,
             QMap<QString, QJsonObject>* out) {
    for (const QJsonValue& v : items) {
        QJsonObject item = v.toObject();
        Flatten(item.take("children").toArray(), item.value("path"), depth + 1, out);
        item.insert("type", "item");
        item.insert("depth", depth);
        item.insert("parent", parent);
        out->insert(item.value("path").toString(), item);
    }
}

// The records of a JSON Lines output; a line that is not an object fails the test.
QList<QJsonObject> Records(const QByteArray& out) {
    QList<QJsonObject> records;
    EXPECT_TRUE(out.endsWith('\n'));
    for (const QByteArray& line : out.split('\n')) {
        if (line.isEmpty()) {
            continue;
        }
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
        EXPECT_TRUE(doc.isObject()) << line.toStdString();
        records.append(doc.object());
    }
    return records;
}

}  // namespace

// Deeper than the writer's run of spaces: the indentation of every level is
// still QJsonDocument's.
TEST(Klarvik, JsonOfADeepTreeIsIndentedAsQJsonDocumentIndentsIt) {
    TempTree t;
    QString rel = "root";
    for (int i = 0; i < 40; ++i) {
        rel += "/level" + QString::number(i);
    }
    t.MakeFile(rel + "/file", "x");
    const Outcome scan = Klarvik({"scan", "--kind", "disk-usage", "--json", t.Path("root")});
    ASSERT_EQ(scan.code, 0) << scan.err.toStdString();
    EXPECT_TRUE(scan.out.contains("\n" + QByteArray(4 * 85, ' ') + "\"name\": \"file\""));
    EXPECT_EQ(scan.out.toStdString(),
              QJsonDocument::fromJson(scan.out).toJson(QJsonDocument::Indented).toStdString());
}

TEST(Klarvik, JsonKeepsItsShapeAndEveryNameComesBackExactly) {
    Hostile h;
    const QString root = h.t.Path("Caches");
    const QString esc = h.t.Path("Caches/esc\x1b[2J");
    const Outcome scan = Klarvik({"scan", "--kind", "caches", "--json", root});
    ASSERT_EQ(scan.code, 0) << scan.err.toStdString();
    // Laid out as QJsonDocument lays it out: key order, indentation, escapes.
    const QJsonDocument doc = QJsonDocument::fromJson(scan.out);
    EXPECT_EQ(scan.out.toStdString(), doc.toJson(QJsonDocument::Indented).toStdString());
    EXPECT_FALSE(scan.out.contains('\x1b')) << "control characters are escaped";
    QJsonObject shape = scan.json;
    shape.insert("items", ByPath(shape.value("items").toArray()));
    // Sizes are the blocks each entry takes (a folder's own with what it holds,
    // but a root's contents only); the JSON gives a file's length too.
    const auto disk = [&](const QString& rel) { return h.t.DiskUsage("Caches/" + rel); };
    const QString escRel = QStringLiteral("esc\x1b[2J");
    const QJsonObject expected{
        {"kind", "caches"},
        {"finished", "done"},
        {"total_items", 6},
        {"total_size", static_cast<double>(h.t.ContentsDiskUsage("Caches"))},
        {"cleaned_items", 0},
        {"cleaned_size", 0},
        {"items_in_error", 0},
        {"skipped", QJsonObject{{"unreadable_folders", 0}, {"not_utf8_names", 0}}},
        {"items",
         QJsonArray{
             Item(root, root, h.t.ContentsDiskUsage("Caches"),
                  {Item(root + "/back\\slash", "back\\slash", disk("back\\slash"), {}, 3),
                   Item(esc, "esc\x1b[2J", disk(escRel),
                        {Item(esc + "/" + h.inner, h.inner, disk(escRel + "/" + h.inner), {}, 4)}),
                   Item(root + "/new\nline", "new\nline", disk("new\nline"), {}, 1),
                   Item(root + "/q\"uote", "q\"uote", disk("q\"uote"), {}, 2)})}}};
    EXPECT_EQ(shape, expected);

    const Outcome clean = Klarvik({"clean", "--kind", "caches", "--yes", "--json", root});
    ASSERT_EQ(clean.code, 0) << clean.err.toStdString();
    EXPECT_EQ(clean.out.toStdString(),
              QJsonDocument::fromJson(clean.out).toJson(QJsonDocument::Indented).toStdString());
    EXPECT_EQ(Strings(clean.json.value("removed").toArray()),
              (QSet<QString>{root + "/back\\slash", root + "/new\nline", root + "/q\"uote", esc,
                             esc + "/" + h.inner}));
    EXPECT_EQ(clean.json.value("failed"), QJsonArray());
    EXPECT_EQ(Entries(h.t.Root()), QSet<QString>{"Caches"});
}

TEST(Klarvik, JsonLinesGiveProgressEveryItemWhatWentAndASummary) {
    Hostile h;
    const QString root = h.t.Path("Caches");
    QMap<QString, QJsonObject> tree;
    Flatten(Klarvik({"scan", "--kind", "caches", "--json", root}).json.value("items").toArray(),
            QJsonValue::Null, 0, &tree);
    ASSERT_EQ(tree.size(), 6);

    const Outcome scan = Klarvik({"scan", "--kind", "caches", "--jsonl", root});
    ASSERT_EQ(scan.code, 0) << scan.err.toStdString();
    const QList<QJsonObject> records = Records(scan.out);
    ASSERT_GE(records.size(), 8);
    EXPECT_EQ(records.first().value("type"), "progress");
    EXPECT_EQ(records.first().value("phase"), "scanning");
    QMap<QString, QJsonObject> items;
    for (const QJsonObject& r : records) {
        if (r.value("type") == "item") {
            items.insert(r.value("path").toString(), r);
        }
    }
    EXPECT_EQ(items, tree) << "the same items, names, sizes, depths and parents as --json";
    EXPECT_EQ(records.last().value("type"), "summary");
    EXPECT_EQ(records.last().value("total_items"), 6);

    const Outcome clean = Klarvik({"clean", "--kind", "caches", "--yes", "--jsonl", root});
    ASSERT_EQ(clean.code, 0) << clean.err.toStdString();
    QSet<QString> removed;
    bool cleaningDone = false;
    for (const QJsonObject& r : Records(clean.out)) {
        const QString type = r.value("type").toString();
        if (type == "progress" && r.value("phase") == "cleaning") {
            cleaningDone = r.value("fraction").toDouble() == 1.0;
        } else if (type == "removed") {
            EXPECT_TRUE(cleaningDone) << "what went is told once the removal finished";
            removed.insert(r.value("path").toString());
        } else {
            EXPECT_TRUE(type == "progress" || type == "item" || type == "summary")
                << type.toStdString();
        }
    }
    QSet<QString> below(tree.keyBegin(), tree.keyEnd());
    below.remove(root);
    EXPECT_EQ(removed, below);
    const QJsonObject summary = Records(clean.out).last();
    EXPECT_EQ(summary.value("type"), "summary");
    EXPECT_EQ(summary.value("removed"), 5);
    EXPECT_EQ(summary.value("failed"), 0);
    EXPECT_EQ(Entries(h.t.Root()), QSet<QString>{"Caches"});
}

// More items than the scanner's result queue holds (65,536) and than one
// slice of insertion, in folders wide enough to run the removal on threads.
TEST(Klarvik, JsonOfEightyThousandItemsIsWrittenAfterTheyAreRemoved) {
    // On tmpfs where there is one: creating the files is most of the cost.
    QByteArray folder =
        (QDir("/dev/shm").exists() ? QByteArray("/dev/shm") : QDir::tempPath().toUtf8()) +
        "/klarvik-many-XXXXXX";
    ASSERT_NE(::mkdtemp(folder.data()), nullptr);
    struct Cleanup {
        std::string path;
        ~Cleanup() { Varnex::Test::RemoveTestTree(path); }
    } cleanup{folder.toStdString()};
    constexpr int folders = 160;
    constexpr int files = 500;
    for (int d = 0; d < folders; ++d) {
        const std::string dir = cleanup.path + "/d" + std::to_string(d);
        ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
        for (int f = 0; f < files; ++f) {
            const int fd =
                ::open((dir + "/f" + std::to_string(f)).c_str(), O_CREAT | O_WRONLY, 0644);
            ASSERT_GE(fd, 0);
            ::close(fd);
        }
    }
    QByteArray out;
    QByteArray err;
    const int code =
        RunProgram(KLARVIK_PROGRAM,
                   {"clean", "--kind", "caches", "--yes", "--json", QString::fromUtf8(folder)},
                   &out, &err, {}, 900000);
    ASSERT_EQ(code, 0) << err.toStdString();
    QJsonParseError error;
    const QJsonObject doc = QJsonDocument::fromJson(out, &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    EXPECT_EQ(doc.value("total_items").toInt(), folders * files + folders + 1);
    EXPECT_EQ(doc.value("removed").toArray().size(), folders * files + folders);
    EXPECT_TRUE(QDir(QString::fromUtf8(folder)).isEmpty());
}
