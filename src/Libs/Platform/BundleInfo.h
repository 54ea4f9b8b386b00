#pragma once

#include <QString>
#include <QVariant>
#include <QVariantMap>

namespace Varnex::Platform {

// The information dictionary of a bundle folder, its "Contents/Info.plist"
// (XML or binary), the stand-in for what CFBundle answers on macOS.
//
// A value object: the file is read once, by the constructor; any thread, and
// copies may travel between threads. The bundle need not exist: a missing
// folder or Info.plist simply gives an empty dictionary. A file that is there
// but cannot be used (unreadable, not a regular file, larger than
// maxPropertyListSize, malformed or truncated, or not a dictionary at its
// top) gives an empty dictionary and one WARNING line naming the file.
class BundleInfo {
public:
    BundleInfo() = default;
    // An empty or relative path reads nothing (it would name something in the
    // current folder).
    explicit BundleInfo(const QString& bundlePath);

    // Whether `path` is a bundle: a folder (links followed) whose last
    // component ends in ".app" with a name before it. Letter case matters.
    static bool IsBundle(const QString& path);
    // Where the information dictionary of `bundlePath` lies.
    static QString InfoPlistPath(const QString& bundlePath);

    const QString& GetBundlePath() const { return m_bundlePath; }
    // True when an Info.plist was read and holds a dictionary.
    bool IsValid() const { return m_valid; }
    // CFBundleIdentifier, CFBundleName: empty unless a non-empty string.
    QString GetIdentifier() const;
    QString GetName() const;
    // The value under `key`, invalid when there is none (see PropertyList.h
    // for the types).
    QVariant GetValue(const QString& key) const { return m_info.value(key); }
    // The value under `key` when it is a string, else empty.
    QString GetString(const QString& key) const;
    const QVariantMap& GetInfoDictionary() const { return m_info; }

private:
    QString m_bundlePath;
    QVariantMap m_info;
    bool m_valid = false;
};

}  // namespace Varnex::Platform
