#include <gtest/gtest.h>
#include <time.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>

#include "Core/details/FileDates.h"
#include "Core/details/GarbageApplication.h"
#include "Core/details/SystemGarbageScope.h"
#include "common/LogCapture.h"
#include "common/ScopedEnv.h"
#include "common/TempTree.h"

using namespace Varnex::Cleaner;
using namespace Varnex::Cleaner::Details;
using Varnex::Test::LogCapture;
using Varnex::Test::ScopedEnv;
using Varnex::Test::TempTree;

namespace {

const QDateTime creationTime(QDate(2001, 2, 3), QTime(4, 5, 6), Qt::UTC);
const QDateTime usedTime(QDate(2013, 5, 20), QTime(12, 34, 56), Qt::UTC);
const char usedOutput[] = "kMDItemLastUsedDate = 2013-05-20 12:34:56 +0000\n";

QByteArray InfoXml(const QByteArray& entries) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + entries +
           "</dict></plist>\n";
}

// A plain container above an application: its size is the sum of its dirty children.
class Shelf : public AbstractGarbage {
public:
    explicit Shelf(QObject* parent) : AbstractGarbage(parent) {}
    void Add(AbstractGarbage* child) {
        child->setParent(this);
        m_children.append(child);
        ChildListChanged();
        UpdateSize();
    }
    QString GetName() const override { return "shelf"; }
    QString GetPath() const override { return "/shelf"; }
    long long GetSize() const override { return m_size; }
    bool AreAdminRightsRequired() const override { return false; }
    GarbageList GetChildren() const override { return m_children; }
    void SetSize(long long size) override {
        const long long old = m_size;
        m_size = size;
        SizeStored(old, size);
    }

private:
    GarbageList m_children;
    long long m_size = 0;
};

// Fake bundles in a temporary folder, a fake `mdls` first on PATH that records
// its arguments and prints the content of a file the test chooses (then hangs
// or dies of SIGSEGV when the test makes a file so named), and fixed
// creation times. PATH and TZ are restored afterwards.
class ApplicationItem : public ::testing::Test {
protected:
    ApplicationItem() {
        tree.MakeFile("bin/mdls", "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" +
                                      tree.Path("mdls-args").toUtf8() + "'\n[ -e '" +
                                      tree.Path("mdls-hangs").toUtf8() + "' ] && sleep 300\ncat '" +
                                      tree.Path("mdls-output").toUtf8() + "'\n[ -e '" +
                                      tree.Path("mdls-crashes").toUtf8() + "' ] && kill -SEGV $$\n");
        QFile::setPermissions(tree.Path("bin/mdls"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        SetMdlsOutput(usedOutput);
        SetCreationTimeReader([](const QString&) { return creationTime; });
    }
    ~ApplicationItem() override { SetCreationTimeReader(nullptr); }

    void SetMdlsOutput(const QByteArray& output) { tree.MakeFile("mdls-output", output); }
    bool MdlsRan() const { return tree.Exists("mdls-args"); }
    QString Bundle(const QString& name, const QByteArray& info) {
        tree.MakeFile(name + "/Contents/Info.plist", info);
        return tree.Path(name);
    }

    TempTree tree;

private:
    struct ReadZone {
        ~ReadZone() { tzset(); }  // after TZ is restored
    } m_readZone;
    ScopedEnv m_tz{"TZ", qgetenv("TZ")};
    ScopedEnv m_path{"PATH", tree.Path("bin").toUtf8() + ":" + qgetenv("PATH")};
};

}  // namespace

// In a zone of its own, so that a date left in UTC would show.
TEST_F(ApplicationItem, TakesNameAndIdFromTheInfoPlistAndTheLocalDateFromMdls) {
    qputenv("TZ", "IST-5:30");
    tzset();
    const QString name = QString::fromUtf8("Caf\xc3\xa9\nTool: 2.app");
    const QString path = Bundle(name, InfoXml("<key>CFBundleIdentifier</key><string>com.ex.cafe"
                                              "</string><key>CFBundleName</key><string>Caf&#233;"
                                              "</string>"));
    GarbageApplication app(path, QString(), nullptr);
    EXPECT_EQ(app.GetName(), QString::fromUtf8("Caf\xc3\xa9"));
    EXPECT_EQ(app.GetId(), "com.ex.cafe");
    EXPECT_TRUE(app.Exists());
    EXPECT_EQ(app.GetCheckState(), AbstractGarbage::UNCHECKED);
    const QDateTime used = app.GetLastReadTime();
    EXPECT_EQ(used.timeSpec(), Qt::LocalTime);
    EXPECT_EQ(used.toUTC(), usedTime);
    EXPECT_EQ(used.time(), QTime(18, 4, 56));
    EXPECT_EQ(tree.Read("mdls-args"), "-name\nkMDItemLastUsedDate\n" + path.toUtf8() + "\n");

    // The bundle itself, unmeasured, in "Binaries".
    ASSERT_EQ(app.GetChildren().size(), 1);
    const GarbageLeftoverGroup* binaries = app.GetLeftoverGroup(GarbageApplication::binariesName);
    ASSERT_NE(binaries, nullptr);
    EXPECT_EQ(binaries->GetParent(), &app);
    ASSERT_EQ(binaries->GetChildren().size(), 1);
    EXPECT_EQ(binaries->GetChildren().front()->GetPath(), path);
    EXPECT_EQ(app.GetBundleSize(), 0);
    EXPECT_TRUE(app.GetPaths().isEmpty());  // unchecked
    app.Select(true);
    EXPECT_EQ(app.GetPaths(), QStringList{path});

    // A given identifier wins over the bundle's; a given last use spares mdls.
    QFile::remove(tree.Path("mdls-args"));
    const QDateTime given(QDate(2020, 1, 2), QTime(3, 4, 5), Qt::UTC);
    const GarbageApplication known(path, "given.id", given, nullptr);
    EXPECT_EQ(known.GetId(), "given.id");
    EXPECT_EQ(known.GetLastReadTime(), given);
    EXPECT_FALSE(MdlsRan());
}

TEST_F(ApplicationItem, NamesFromThePathWhenTheBundleSaysNothingUsable) {
    // No bundle on disk: the path's name, no children, no date, no mdls.
    const GarbageApplication gone(tree.Path("Gone/Foo.app"), QString(), nullptr);
    EXPECT_EQ(gone.GetName(), "Foo");
    EXPECT_FALSE(gone.Exists());
    EXPECT_TRUE(gone.GetChildren().isEmpty());
    EXPECT_FALSE(gone.GetLastReadTime().isValid());
    EXPECT_FALSE(MdlsRan());

    // Every ".app" goes; an empty CFBundleName is no name.
    tree.MakeDir("My.apprentice.app");
    EXPECT_EQ(GarbageApplication(tree.Path("My.apprentice.app"), QString(), nullptr).GetName(),
              "Myrentice");
    const QString blank = Bundle("Blank.app", InfoXml("<key>CFBundleName</key><string></string>"));
    EXPECT_EQ(GarbageApplication(blank, QString(), nullptr).GetName(), "Blank");

    // A malformed Info.plist: the path's name, still a bundle with its group.
    const QString bad = Bundle("Bad.app", "<plist><dict><key>CFBundleName</key><string>X");
    const GarbageApplication broken(bad, QString(), nullptr);
    EXPECT_EQ(broken.GetName(), "Bad");
    EXPECT_TRUE(broken.GetId().isEmpty());
    EXPECT_TRUE(broken.Exists());
    EXPECT_NE(broken.GetLeftoverGroup(GarbageApplication::binariesName), nullptr);
}

TEST_F(ApplicationItem, AnEmptyOrRelativePathIsNeverAnExistingBundle) {
    tree.MakeDir("cwd/Rel.app/Contents");
    const QString saved = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(tree.Path("cwd")));
    GarbageApplication empty(QString(), QString(), nullptr);
    GarbageApplication relative("Rel.app", QString(), nullptr);
    GarbageApplication dot(".", QString(), nullptr);
    ASSERT_TRUE(QDir::setCurrent(saved));
    for (GarbageApplication* app : {&empty, &relative, &dot}) {
        EXPECT_FALSE(app->Exists()) << app->GetPath().toStdString();
        EXPECT_TRUE(app->GetChildren().isEmpty());
        app->Select(true);
        EXPECT_TRUE(app->GetPaths().isEmpty()) << "would plan the current folder";
        EXPECT_FALSE(app->GetLastReadTime().isValid());
    }
    EXPECT_EQ(relative.GetName(), "Rel");
    EXPECT_FALSE(MdlsRan());
    // A file named like a bundle is no bundle either.
    tree.MakeFile("File.app", "x");
    EXPECT_FALSE(GarbageApplication(tree.Path("File.app"), QString(), nullptr).Exists());
}

TEST_F(ApplicationItem, MdlsOutputThatIsNotOneDateFallsBackToTheCreationTime) {
    const QString path = Bundle(QString::fromUtf8("\xc3\x9cse\nd.app"), InfoXml(""));
    const char* const unparsed[] = {
        "kMDItemLastUsedDate = (null)\n",  // never used
        "kMDItemLastUsedDate = 2013-05-20 12:34:56 +0000\nkMDItemLastUsedDate = x\n",
        "junk\nkMDItemLastUsedDate = 2013-05-20 12:34:56 +0000\n",
        "kMDItemLastUsedDate = 2013/05/20 12:34:56 +0000\n",
        "kMDItemLastUsedDate = 2013-02-30 12:34:56 +0000\n",
        "kMDItemLastUsedDate = 2013-05-20 12:34:56 UTC\n",
        "a b c d e\n",
        "\xff\xfe garbage \x01\x02 with bytes",
    };
    for (const char* output : unparsed) {
        SetMdlsOutput(output);
        LogCapture log;
        EXPECT_EQ(GarbageApplication::ReadLastUsedTime(path), creationTime) << output;
        ASSERT_EQ(log.Count(google::GLOG_WARNING, "Can't parse a datetime ("), 1)
            << output << log.Dump();
        for (const LogCapture::Line& line : log.Lines()) {
            EXPECT_EQ(line.message.find('\n'), std::string::npos) << line.message;
        }
    }
    // Loose spacing is fine; another UTC offset is honoured rather than taken for UTC.
    SetMdlsOutput("kMDItemLastUsedDate  =  2013-05-20  12:34:56  +0000");
    EXPECT_EQ(GarbageApplication::ReadLastUsedTime(path).toUTC(), usedTime);
    SetMdlsOutput("kMDItemLastUsedDate = 2013-05-20 12:34:56 +0200\n");
    EXPECT_EQ(GarbageApplication::ReadLastUsedTime(path).toUTC(), usedTime.addSecs(-2 * 3600));
    // Nothing printed at all.
    for (const char* output : {"", " \n"}) {
        SetMdlsOutput(output);
        LogCapture log;
        EXPECT_EQ(GarbageApplication::ReadLastUsedTime(path), creationTime);
        EXPECT_TRUE(log.Contains(google::GLOG_ERROR, "Can't read: mdls -name kMDItemLastUsedDate "))
            << log.Dump();
    }
}

// No mdls at all, or one that never ends: the creation time, once the time
// limit stopped it.
TEST_F(ApplicationItem, AMissingOrStuckMdlsGivesTheCreationTime) {
    const QString path = Bundle("NoTool.app", InfoXml(""));
    {
        tree.MakeDir("empty-bin");
        ScopedEnv noTool("PATH", tree.Path("empty-bin").toUtf8());
        LogCapture log;
        EXPECT_EQ(GarbageApplication(path, QString(), nullptr).GetLastReadTime(), creationTime);
        EXPECT_TRUE(log.Contains(
            google::GLOG_ERROR, "Can't read: mdls -name kMDItemLastUsedDate " + path.toStdString()))
            << log.Dump();
        EXPECT_FALSE(MdlsRan());
    }
    tree.MakeFile("mdls-hangs", "");
    LogCapture log;
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(GarbageApplication::ReadLastUsedTime(path), creationTime);
    EXPECT_LT(clock.elapsed(), 25000);  // a hang guard; the old limit was 30 s
    EXPECT_TRUE(log.Contains(google::GLOG_ERROR, "still running after 5000 ms")) << log.Dump();
    EXPECT_TRUE(MdlsRan());
}

// A date printed by an mdls that then died is not believed: its output may
// stop anywhere.
TEST_F(ApplicationItem, AnMdlsThatCrashesGivesTheCreationTime) {
    const QString path = Bundle("Crash.app", InfoXml(""));
    tree.MakeFile("mdls-crashes", "");
    LogCapture log;
    EXPECT_EQ(GarbageApplication::ReadLastUsedTime(path), creationTime);
    EXPECT_TRUE(MdlsRan());
    EXPECT_TRUE(log.Contains(google::GLOG_ERROR, "was ended by a signal; its output is not used"))
        << log.Dump();
    EXPECT_TRUE(log.Contains(google::GLOG_ERROR, "Can't read: mdls -name kMDItemLastUsedDate"))
        << log.Dump();
}

TEST_F(ApplicationItem, SizesFollowTheGroupsAndReachTheParentAndTheScope) {
    const QString path = Bundle("Sized.app", InfoXml(""));
    SystemGarbageScope scope;
    QSignalSpy changed(&scope, &AbstractGarbageScope::ItemChanged);
    auto* root = new Shelf(&scope);
    auto* app = new GarbageApplication(path, QString(), nullptr);
    root->Add(app);
    EXPECT_EQ(changed.count(), 0);

    auto* caches = new GarbageLeftoverGroup(path, "Caches", nullptr);
    caches->AddLeftover(new GarbageLeftover(tree.Path("Library/Caches/com.sized"), 10, nullptr));
    app->AddLeftoverGroup(caches);
    app->AddLeftoverGroup(nullptr);
    EXPECT_EQ(app->GetSize(), 10);
    EXPECT_EQ(root->GetSize(), 10);
    EXPECT_EQ(app->GetLeftoverGroup("Caches"), caches);
    EXPECT_EQ(app->GetChildren().size(), 2);

    // A size below one byte is no measurement.
    changed.clear();
    app->AddBundleSize(0);
    app->AddBundleSize(-4);
    EXPECT_EQ(changed.count(), 0);
    EXPECT_EQ(app->GetSize(), 10);
    app->AddBundleSize(100);
    EXPECT_EQ(app->GetBundleSize(), 100);
    EXPECT_EQ(app->GetSize(), 110);
    EXPECT_EQ(root->GetSize(), 110);
    bool appChanged = false;
    for (const QList<QVariant>& args : changed) {
        appChanged = appChanged || args.at(0).value<AbstractGarbage*>() == app;
    }
    EXPECT_TRUE(appChanged);

    app->Select(true);
    EXPECT_EQ(app->GetPaths(), (QStringList{path, tree.Path("Library/Caches/com.sized")}));
    app->SetBundleClean(true);
    EXPECT_EQ(app->GetSize(), 10);
    EXPECT_EQ(root->GetSize(), 10);
    EXPECT_EQ(app->GetPaths(), QStringList{tree.Path("Library/Caches/com.sized")});

    // Built straight into a scope: nothing is announced while it is half made.
    changed.clear();
    auto* direct = new GarbageApplication(path, QString(), &scope);
    EXPECT_EQ(changed.count(), 0);
    EXPECT_EQ(direct->parent(), &scope);
}
