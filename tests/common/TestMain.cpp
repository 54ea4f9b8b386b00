// Shared main of every test executable: a QCoreApplication for timers and
// signals, logging as the programs set it up, and a private HOME and system
// root so that no test ever reaches the real home folder or the real system.
#include <glog/logging.h>
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <cstdlib>

#include "CleanerCommon/Logging.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

namespace {

std::string MakeTempDir(const char* tag) {
    std::string tmpl = QDir::tempPath().toStdString() + "/klarvik-" + tag + "-XXXXXX";
    if (!::mkdtemp(tmpl.data())) {
        std::abort();
    }
    return tmpl;
}

// ctest may run a program as several shards (GTEST_TOTAL_SHARDS and
// GTEST_SHARD_INDEX). GoogleTest has chosen this shard's tests by the time
// environments are set up; a test that runs this program again for one of
// its tests must not have that test filtered out by the shard.
class ForgetShard : public ::testing::Environment {
public:
    void SetUp() override {
        ::unsetenv("GTEST_TOTAL_SHARDS");
        ::unsetenv("GTEST_SHARD_INDEX");
    }
};

}  // namespace

int main(int argc, char** argv) {
    const std::string home = MakeTempDir("home");
    const std::string sysroot = MakeTempDir("sysroot");
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("KLARVIK_SYSROOT", sysroot.c_str(), 1);
    ::unsetenv("XDG_DATA_HOME");
    ::unsetenv("XDG_CACHE_HOME");
    ::unsetenv("XDG_CONFIG_HOME");
    // The system's autostart entries are those below the test system root.
    ::unsetenv("XDG_CONFIG_DIRS");
    // Paths must never depend on the locale: run under the plainest one.
    ::setenv("LC_ALL", "C", 1);
    Varnex::Test::SetTestFolders(QString::fromStdString(home), QString::fromStdString(sysroot));

    QCoreApplication app(argc, argv);
    Varnex::Util::InitLogging(argv[0], google::WARNING);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new ForgetShard);
    const int rc = RUN_ALL_TESTS();
    Varnex::Test::RemoveTestTree(home);
    Varnex::Test::RemoveTestTree(sysroot);
    return rc;
}
