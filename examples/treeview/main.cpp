// Shows a folder as the application would: `treeview FOLDER...` scans the
// folders at once; check what to remove and press Clean.
#include <QApplication>

#include "CleanerCommon/Logging.h"
#include "TreeWindow.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    Varnex::Util::InitLogging(argv[0], 1);
    QStringList roots = QApplication::arguments().mid(1);
    TreeWindow window(roots);
    window.show();
    if (!roots.isEmpty()) {
        window.Scan();
    }
    return QApplication::exec();
}
