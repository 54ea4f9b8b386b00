// Desktop autostart entries: any entry file reads without harm; an
// application in the login list can be taken out of it, after which it is not
// listed, and its entry is switched off, never deleted.
#include <QDir>
#include <QFile>
#include <cstdlib>

#include "Platform/LoginItems.h"
#include "fuzz/FuzzSupport.h"

using namespace Varnex::Platform;

namespace {

QString Folder() {
    return Varnex::Fuzz::ScratchFolder() + QStringLiteral("/config/autostart");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Varnex::Fuzz::QuietLogging();
    const QString scratch = Varnex::Fuzz::ScratchFolder();
    // Nothing outside the scratch folder is read or changed, and no program
    // name of an entry is found in the real PATH.
    ::setenv("HOME", scratch.toUtf8().constData(), 1);
    ::setenv("XDG_CONFIG_HOME", (scratch + QStringLiteral("/config")).toUtf8().constData(), 1);
    // The system's autostart entries: below the scratch folder, none.
    ::setenv("KLARVIK_SYSROOT", scratch.toUtf8().constData(), 1);
    ::unsetenv("XDG_CONFIG_DIRS");
    ::setenv("PATH", (scratch + QStringLiteral("/bin")).toUtf8().constData(), 1);
    QDir().mkpath(scratch + QStringLiteral("/bin"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FUZZ_CHECK(LoginItemsFolder() == Folder());
    QDir(Folder()).removeRecursively();
    FUZZ_CHECK(QDir().mkpath(Folder()));
    const QString entryPath = Folder() + QStringLiteral("/fuzzed.desktop");
    QFile file(entryPath);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly));
    FUZZ_CHECK(file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size)) ==
               static_cast<qint64>(size));
    file.close();

    QStringList paths;
    QString problem;
    FUZZ_CHECK(ListLoginItems(&paths, &problem));
    FUZZ_CHECK(paths.size() <= 1);
    for (const QString& path : paths) {
        FUZZ_CHECK(!path.isEmpty());
        FUZZ_CHECK(RemoveLoginItem(path, &problem));
        QStringList after;
        FUZZ_CHECK(ListLoginItems(&after, &problem));
        FUZZ_CHECK(!after.contains(path));
        FUZZ_CHECK(QFile::exists(entryPath));
    }
    return 0;
}
