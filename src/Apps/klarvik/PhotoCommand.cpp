#include "PhotoCommand.h"

#include <unistd.h>

#include <QFileInfo>

#include "CleanerCommon/Sizes.h"
#include "Core/details/PhotoLibrary.h"
#include "Core/details/iPhotoVacuumScope.h"
#include "RunOutput.h"
#include "ScopeDriver.h"
#include "ShownText.h"

namespace Klarvik {

using Varnex::Cleaner::AbstractGarbageScope;
using Varnex::Cleaner::FormatSize;
using Varnex::Cleaner::Details::PhotoLibrary;
using Varnex::Cleaner::Details::iPhotoVacuumScope;

int RunPhotoVacuum(const Options& options) {
    const bool cleaning = options.command == QLatin1String("clean");
    if (cleaning && !options.yes && !options.dryRun && !::isatty(STDIN_FILENO)) {
        Err(QStringLiteral("standard input is not a terminal: nothing is changed without --yes"));
        return EXIT_USAGE;
    }
    if (!iPhotoVacuumScope::DoesLibraryExist()) {
        Err(QStringLiteral("no photo library: \"%1\" names none (its key RootDirectory)")
                .arg(Shown(PhotoLibrary::GetPreferencesPath())));
        return EXIT_FAILED;
    }
    iPhotoVacuumScope scope;
    if (scope.GetRoots().isEmpty()) {
        Err(QStringLiteral("no photo library database to compact"));
        return EXIT_FAILED;
    }
    const QString database = scope.GetRoots().front()->GetPath();
    const qint64 before = QFileInfo(database).size();
    Out() << "Library.apdb  " << FormatSize(before, 0) << "  " << Shown(database) << '\n';
    if (!cleaning || options.dryRun) {
        if (cleaning) {
            Out() << "would compact: " << Shown(database) << '\n';
        }
        Out().flush();
        return EXIT_DONE;
    }
    Out().flush();
    ScopeDriver driver(&scope, true);
    if (!options.yes) {
        const ScopeDriver::Answer answer = ScopeDriver::Ask(
            QStringLiteral("Compact the photo library's database (%1)? [y/N] ")
                .arg(FormatSize(before, 0)));
        if (answer != ScopeDriver::Answer::YES) {
            Err(QStringLiteral("nothing was changed"));
            return answer == ScopeDriver::Answer::INTERRUPTED ? EXIT_INTERRUPTED : EXIT_DONE;
        }
    }
    AbstractGarbageScope::FinishReason reason = AbstractGarbageScope::FAILED;
    if (!driver.Clean(&reason) || reason != AbstractGarbageScope::DONE) {
        Err(QStringLiteral("the database was not compacted (%1; --verbose tells why)")
                .arg(AbstractGarbageScope::GetFinishReasonString(reason)));
        return ScopeDriver::WasInterrupted() ? EXIT_INTERRUPTED : EXIT_FAILED;
    }
    Out() << "Compacted: " << FormatSize(before, 0) << " -> "
          << FormatSize(QFileInfo(database).size(), 0) << '\n';
    Out().flush();
    return EXIT_DONE;
}

}  // namespace Klarvik
