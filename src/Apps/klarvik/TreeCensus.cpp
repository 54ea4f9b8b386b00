#include "TreeCensus.h"

#include <dirent.h>

#include <QStringList>
#include <cstring>
#include <string>

#include "Core/AbstractGarbageScope.h"
#include "Core/details/GarbageDirectory.h"
#include "Platform/PathCodec.h"
#include "ShownText.h"

namespace Klarvik {

using Varnex::Cleaner::AbstractGarbage;
using Varnex::Cleaner::Details::GarbageDirectory;

namespace {

int CountUndecodableNames(const QString& folder) {
    std::string bytes;
    if (!Varnex::Platform::EncodePath(folder, &bytes)) {
        return 0;
    }
    DIR* dir = ::opendir(bytes.c_str());
    if (!dir) {
        return 0;
    }
    int count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        count += Varnex::Platform::IsValidUtf8(entry->d_name, std::strlen(entry->d_name)) ? 0 : 1;
    }
    ::closedir(dir);
    return count;
}

void Visit(const AbstractGarbage* item, bool countNames, TreeCensus* census) {
    const AbstractGarbage::Error error = item->GetError();
    const auto* folder = qobject_cast<const GarbageDirectory*>(item);
    if (error != AbstractGarbage::Error::OK && error != AbstractGarbage::Error::CHILD) {
        ++census->inError;
        if (folder && error == AbstractGarbage::Error::PERMISSION_DENIED) {
            ++census->unreadableFolders;
        }
    } else if (folder && countNames && folder->GetKeptChildren() > 0) {
        census->undecodableNames += CountUndecodableNames(folder->GetPath());
    }
    for (const AbstractGarbage* child : item->GetChildren()) {
        Visit(child, countNames, census);
    }
}

}  // namespace

TreeCensus TreeCensus::Of(const Varnex::Cleaner::AbstractGarbageScope& scope, bool countNames) {
    TreeCensus census;
    for (const AbstractGarbage* root : scope.GetRoots()) {
        Visit(root, countNames, &census);
    }
    return census;
}

QString TreeCensus::SkippedText() const {
    QStringList parts;
    if (unreadableFolders > 0) {
        parts.append(Counted(unreadableFolders, "unreadable folder", "unreadable folders") +
                     QStringLiteral(" (what is inside is neither counted nor removed)"));
    }
    if (undecodableNames > 0) {
        parts.append(Counted(undecodableNames, "name", "names") +
                     (undecodableNames == 1
                          ? QStringLiteral(" that cannot be read as UTF-8 (left as it is, with "
                                           "the folder that holds it)")
                          : QStringLiteral(" that cannot be read as UTF-8 (left as they are, "
                                           "with the folders that hold them)")));
    }
    return parts.isEmpty() ? QString()
                           : QStringLiteral("Skipped: ") + parts.join(QStringLiteral(", "));
}

QJsonObject TreeCensus::SkippedJson() const {
    return QJsonObject{{"unreadable_folders", unreadableFolders},
                       {"not_utf8_names", undecodableNames}};
}

}  // namespace Klarvik
