#include "LargeOldCommand.h"

#include "CleanerCommon/Sizes.h"
#include "Core/details/GarbageFileEx.h"
#include "Core/details/LargeAndOldGarbageScope.h"
#include "FileListCommand.h"
#include "RootCheck.h"
#include "ShownText.h"

namespace Klarvik {

using Varnex::Cleaner::AbstractGarbage;
using Varnex::Cleaner::AbstractGarbageScope;
using Varnex::Cleaner::FormatSize;
using Varnex::Cleaner::Details::GarbageFileEx;
using Varnex::Cleaner::Details::LargeAndOldGarbageScope;

namespace {

QString KindWord(AbstractGarbage::Kind kind) {
    switch (kind) {
        case AbstractGarbage::ARCHIVE:
            return QStringLiteral("archive");
        case AbstractGarbage::VIDEO:
            return QStringLiteral("video");
        case AbstractGarbage::AUDIO:
            return QStringLiteral("audio");
        case AbstractGarbage::IMAGE:
            return QStringLiteral("image");
        case AbstractGarbage::INFECTED:
            return QStringLiteral("infected");
        case AbstractGarbage::OTHER:
            break;
    }
    return QStringLiteral("other");
}

class LargeOldKind : public FileListKind {
public:
    AbstractGarbageScope& Scope() override { return m_scope; }
    bool AddPath(const QString& path, bool cleaning, QString* refusal) override {
        *refusal = RootRefusal(path, cleaning, true);
        if (!refusal->isEmpty()) {
            return false;
        }
        if (!m_scope.AddSearchPath(path)) {
            *refusal = QStringLiteral("not a usable folder");
            return false;
        }
        return true;
    }
    int PathCount() const override { return m_scope.GetSearchPaths().size(); }
    QString Verb() const override { return QStringLiteral("searching"); }
    QString NoPathMessage() const override {
        return QStringLiteral("no folder could be searched: nothing was done");
    }
    QString Line(AbstractGarbage* item) const override {
        const auto* file = qobject_cast<GarbageFileEx*>(item);
        const QDateTime used = file ? file->GetLastReadTime() : QDateTime();
        return FormatSize(item->GetSize(), 0) + QStringLiteral("  ") +
               (used.isValid() ? used.toLocalTime().toString(Qt::ISODate) : QStringLiteral("-")) +
               QStringLiteral("  ") + KindWord(item->GetKind()) +
               (file && file->IsFolder() ? QStringLiteral(" package") : QString()) +
               QStringLiteral("  ") + Shown(item->GetPath());
    }
    // What the search left out: it walks the folders itself, so the tree
    // cannot tell.
    TreeCensus Census() const override {
        TreeCensus census = TreeCensus::Of(m_scope, false);
        census.undecodableNames = m_scope.GetSkippedNames();
        census.unreadableFolders = m_scope.GetUnreadableFolders();
        return census;
    }

private:
    LargeAndOldGarbageScope m_scope;
};

}  // namespace

int RunLargeOld(const Options& options) {
    LargeOldKind kind;
    return RunFileList(options, kind);
}

}  // namespace Klarvik
