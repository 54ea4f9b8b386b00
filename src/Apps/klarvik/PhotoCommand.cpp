#include "PhotoCommand.h"

#include <unistd.h>

#include <QFileInfo>

#include "CleanerCommon/Sizes.h"
#include "Core/details/PhotoLibrary.h"
#include "Core/details/GarbageIPhotoAlbum.h"
#include "Core/details/GarbageIPhotoFolder.h"
#include "Core/details/GarbageIPhotoImage.h"
#include "Core/details/iPhotoGarbageScope.h"
#include "Core/details/iPhotoVacuumScope.h"
#include "RunOutput.h"
#include "ScopeDriver.h"
#include "ShownText.h"

namespace Klarvik {

using Varnex::Cleaner::AbstractGarbage;
using Varnex::Cleaner::AbstractGarbageScope;
using Varnex::Cleaner::Details::GarbageIPhotoImage;
using Varnex::Cleaner::Details::iPhotoGarbageScope;
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

namespace {

// Every item of the tree, parents first.
void Flatten(AbstractGarbage* item, QList<AbstractGarbage*>* out) {
    out->append(item);
    for (AbstractGarbage* child : item->GetChildren()) {
        Flatten(child, out);
    }
}

void PrintTrash(const iPhotoGarbageScope& scope, const QList<AbstractGarbage*>& items) {
    for (AbstractGarbage* item : items) {
        int depth = 0;
        for (AbstractGarbage* up = item->GetParent(); up; up = up->GetParent()) {
            ++depth;
        }
        const bool image = qobject_cast<GarbageIPhotoImage*>(item) != nullptr;
        Out() << QString(depth * 2, QLatin1Char(' '))
              << (image ? FormatSize(item->GetSize(), 0) : QStringLiteral("-")) << "  "
              << Shown(item->GetName()) << "  " << Shown(item->GetPath()) << '\n';
    }
    Out() << items.size() << " items, " << FormatSize(scope.GetTotalSize(), 0) << '\n';
}

}  // namespace

int RunPhotoTrash(const Options& options) {
    const bool cleaning = options.command == QLatin1String("clean");
    if (cleaning && !options.yes && !options.dryRun && !::isatty(STDIN_FILENO)) {
        Err(QStringLiteral("standard input is not a terminal: nothing is changed without --yes"));
        return EXIT_USAGE;
    }
    if (!iPhotoGarbageScope::DoesLibraryExist()) {
        Err(QStringLiteral("no photo library: \"%1\" names none (its key RootDirectory)")
                .arg(Shown(PhotoLibrary::GetPreferencesPath())));
        return EXIT_FAILED;
    }
    iPhotoGarbageScope scope;
    ScopeDriver driver(&scope, true);
    const AbstractGarbageScope::FinishReason scanned = driver.Scan();
    if (scanned != AbstractGarbageScope::DONE) {
        Err(scanned == AbstractGarbageScope::FAILED && !scope.GetScanProblem().isEmpty()
                ? QStringLiteral("the scan failed: ") + Shown(scope.GetScanProblem())
                : QStringLiteral("the scan did not finish (%1)")
                      .arg(AbstractGarbageScope::GetFinishReasonString(scanned)));
        return ScopeDriver::WasInterrupted() ? EXIT_INTERRUPTED : EXIT_FAILED;
    }
    QList<AbstractGarbage*> items;
    for (AbstractGarbage* root : scope.GetRoots()) {
        Flatten(root, &items);
    }
    PrintTrash(scope, items);
    if (!options.selections.isEmpty()) {
        QList<AbstractGarbage*> chosen;
        bool known = true;
        for (const QString& selection : options.selections) {
            AbstractGarbage* found = nullptr;
            for (AbstractGarbage* item : items) {
                if (item->GetPath() == selection) {
                    found = item;
                    break;
                }
            }
            if (!found) {
                Err(QStringLiteral("not in the photo library's trash: ") + Shown(selection));
                known = false;
            }
            chosen.append(found);
        }
        if (!known || !CheckExactly(scope, chosen)) {
            return EXIT_USAGE;
        }
    }
    if (!cleaning) {
        Out().flush();
        return EXIT_DONE;
    }
    if (items.isEmpty()) {
        Out() << "The photo library's trash is empty\n";
        Out().flush();
        return EXIT_DONE;
    }
    for (AbstractGarbage* root : scope.GetRoots()) {
        if (!root->IsClean() && root->GetCheckState() != AbstractGarbage::CHECKED) {
            // The application empties its trash whole: asked before anything.
            Err(QStringLiteral("the photo library's trash is emptied as a whole: select everything "
                               "in it (or nothing, for all)"));
            return EXIT_USAGE;
        }
    }
    if (options.dryRun) {
        Out() << "would empty the photo library's trash: " << items.size() << " items, "
              << FormatSize(scope.GetTotalSize(), 0) << '\n';
        Out().flush();
        return EXIT_DONE;
    }
    Out().flush();
    if (!options.yes) {
        const ScopeDriver::Answer answer = ScopeDriver::Ask(
            QStringLiteral("Empty the photo library's trash (%1 items, %2)? [y/N] ")
                .arg(items.size())
                .arg(FormatSize(scope.GetTotalSize(), 0)));
        if (answer != ScopeDriver::Answer::YES) {
            Err(QStringLiteral("nothing was changed"));
            return answer == ScopeDriver::Answer::INTERRUPTED ? EXIT_INTERRUPTED : EXIT_DONE;
        }
    }
    AbstractGarbageScope::FinishReason reason = AbstractGarbageScope::FAILED;
    if (!driver.Clean(&reason)) {
        Err(QStringLiteral("the trash was not emptied: ") +
            Shown(scope.GetCleaningProblem().isEmpty() ? QStringLiteral("nothing to do")
                                                       : scope.GetCleaningProblem()));
        return EXIT_FAILED;
    }
    if (!scope.GetCleaningProblem().isEmpty()) {
        Err(QStringLiteral("the trash was not emptied: ") + Shown(scope.GetCleaningProblem()));
    }
    int clean = 0;
    int failed = 0;
    for (AbstractGarbage* item : items) {
        if (item->IsClean()) {
            ++clean;
        } else {
            ++failed;
            Out() << "not emptied: " << Shown(item->GetPath()) << '\n';
        }
    }
    Out() << "Emptied: " << clean << " of " << items.size() << " items, freed "
          << FormatSize(scope.GetTotalCleanedSize(), 0) << " ("
          << AbstractGarbageScope::GetFinishReasonString(reason) << ")\n";
    Out().flush();
    if (reason != AbstractGarbageScope::DONE || failed > 0) {
        return ScopeDriver::WasInterrupted() ? EXIT_INTERRUPTED : EXIT_FAILED;
    }
    return EXIT_DONE;
}

}  // namespace Klarvik
