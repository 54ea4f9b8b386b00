// The product in a window, as the application would drive it: one tab per
// scope of the facade. `treeview [FOLDER...]` shows the disk usage of the
// folders given (the home folder by default), which are also what the
// antivirus tab scans, and scans the user caches.
#include <QApplication>

#include "CleanerCommon/Logging.h"
#include "CleanerWindow.h"
#include "Core/Cleaner.h"
#include "ScopeTab.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    Varnex::Util::InitLogging(argv[0], 1);
    Varnex::Cleaner::Cleaner cleaner;
    const QStringList folders = QApplication::arguments().mid(1);
    if (!folders.isEmpty()) {
        cleaner.ClearDiskUsageSearchPaths();
        for (const QString& folder : folders) {
            cleaner.AddDiskUsageSearchPath(folder);
            cleaner.AddPathToAntiVirus(folder);
        }
    }
    CleanerWindow window(&cleaner);
    window.show();
    cleaner.StartScanning(cleaner.GetUserCacheScope());
    const int code = QApplication::exec();
    cleaner.WaitBeforeAppQuit();
    return code;
}
