#pragma once

#include <QDateTime>

#include "Core/details/GarbageFile.h"

namespace Varnex::Cleaner::Details {

// A file with a last-read time, a kind and a description (large and old files).
class GarbageFileEx : public GarbageFile {
    Q_OBJECT
public:
    GarbageFileEx(const QString& path, long long size, const QDateTime& lastRead, Kind kind,
                  const QString& description, QObject* parent);

    QDateTime GetLastReadTime() const override { return m_lastRead; }
    QString GetDescription() const override { return m_description; }

private:
    QDateTime m_lastRead;
    QString m_description;
};

}  // namespace Varnex::Cleaner::Details
