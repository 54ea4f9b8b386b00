#include <QCoreApplication>
#include <QTextStream>

#include "CleanerCommon/Checks.h"
#include "CleanerCommon/Logging.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("klarvik"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KLARVIK_VERSION));
    Varnex::Util::InitLogging(argv[0], 1);
    QTextStream out(stdout);
    out << "klarvik " << KLARVIK_VERSION << "\n";
    const bool ok = !Varnex::Cleaner::IsPathSafe(QStringLiteral("/")) &&
                    Varnex::Cleaner::IsPathSafe(QStringLiteral("/tmp/klarvik/x"));
    out << "self-check: " << (ok ? "ok" : "FAILED") << "\n";
    return ok ? 0 : 1;
}
