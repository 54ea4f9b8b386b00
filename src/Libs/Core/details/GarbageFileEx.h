#pragma once

#include <QDateTime>

#include "Core/details/GarbageFile.h"

namespace Varnex::Cleaner::Details {

// A file with a last-read time, a kind and a description (large and old
// files, duplicates), or a package shown as one file.
class GarbageFileEx : public GarbageFile {
    Q_OBJECT
public:
    GarbageFileEx(const QString& path, long long size, const QDateTime& lastRead, Kind kind,
                  const QString& description, QObject* parent);

    QDateTime GetLastReadTime() const override { return m_lastRead; }
    QString GetDescription() const override { return m_description; }
    bool IsFolder() const override { return m_folder; }
    void SetFolder(bool folder) { m_folder = folder; }

private:
    QDateTime m_lastRead;
    QString m_description;
    bool m_folder = false;
};

}  // namespace Varnex::Cleaner::Details
