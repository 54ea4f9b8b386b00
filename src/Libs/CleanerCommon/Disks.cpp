#include "CleanerCommon/Disks.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <QFile>
#include <QHash>
#include <QSet>
#include <cstdlib>
#include <map>
#include <string>

#include "Platform/PathCodec.h"

namespace Varnex::Cleaner {

namespace {

const char mountTablePath[] = "/proc/self/mountinfo";
const char labelFolderPath[] = "/dev/disk/by-label";
const QLatin1String rootName("Root");

const char* const pseudoFileSystems[] = {
    "autofs",          "binfmt_misc", "bpf",         "cgroup",       "cgroup2", "configfs",
    "debugfs",         "devpts",      "devtmpfs",    "efivarfs",     "fusectl", "hugetlbfs",
    "mqueue",          "nsfs",        "proc",        "pstore",       "ramfs",   "rpc_pipefs",
    "securityfs",      "selinuxfs",   "squashfs",    "sysfs",        "tmpfs",   "tracefs",
    "fuse.gvfsd-fuse", "fuse.lxcfs",  "fuse.portal", "fuse.snapfuse"};

struct MountEntry {
    dev_t device = 0;
    std::string source;  // bytes, escapes decoded
    std::string mountPoint;
    QByteArray type;
};

// The kernel writes space, tab, newline and backslash in mount table fields
// as three-digit octal escapes ("\040").
std::string DecodeOctalEscapes(const QByteArray& field) {
    std::string out;
    out.reserve(field.size());
    for (int i = 0; i < field.size(); ++i) {
        const char c = field.at(i);
        if (c == '\\' && i + 3 < field.size()) {
            bool octal = true;
            int value = 0;
            for (int k = 1; k <= 3; ++k) {
                const char d = field.at(i + k);
                octal = octal && d >= '0' && d <= '7';
                value = value * 8 + (d - '0');
            }
            if (octal && value < 256) {
                out.push_back(static_cast<char>(value));
                i += 3;
                continue;
            }
        }
        out.push_back(c);
    }
    return out;
}

// udev writes unsafe bytes of label names as "\xHH".
std::string DecodeHexEscapes(const QByteArray& name) {
    std::string out;
    for (int i = 0; i < name.size(); ++i) {
        if (name.at(i) == '\\' && i + 3 < name.size() && name.at(i + 1) == 'x') {
            bool ok = false;
            const int value = name.mid(i + 2, 2).toInt(&ok, 16);
            if (ok) {
                out.push_back(static_cast<char>(value));
                i += 3;
                continue;
            }
        }
        out.push_back(name.at(i));
    }
    return out;
}

// "36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw,errors=continue"
bool ParseMountLine(const QByteArray& line, MountEntry* entry) {
    const QList<QByteArray> fields = line.split(' ');
    const int separator = fields.indexOf("-");
    if (fields.size() < 7 || separator < 6 || separator + 2 >= fields.size()) {
        return false;
    }
    const QList<QByteArray> numbers = fields.at(2).split(':');
    bool majorOk = false;
    bool minorOk = false;
    const unsigned major = numbers.value(0).toUInt(&majorOk);
    const unsigned minor = numbers.value(1).toUInt(&minorOk);
    if (numbers.size() != 2 || !majorOk || !minorOk) {
        return false;
    }
    entry->device = makedev(major, minor);
    entry->mountPoint = DecodeOctalEscapes(fields.at(4));
    entry->type = fields.at(separator + 1);
    entry->source = DecodeOctalEscapes(fields.at(separator + 2));
    return !entry->mountPoint.empty() && entry->mountPoint[0] == '/';
}

// The device node a path leads to, symbolic links resolved; the path itself
// when it cannot be resolved.
std::string CanonicalDevice(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) {
        return path;
    }
    std::string result(resolved);
    std::free(resolved);
    return result;
}

struct Labels {
    std::map<std::string, QString> byDevicePath;  // canonical device path -> label
    std::map<dev_t, QString> byDevice;            // device number -> label
};

Labels ReadLabels(const QString& labelFolder) {
    Labels labels;
    std::string folder;
    if (labelFolder.isEmpty() || !Platform::EncodePath(labelFolder, &folder)) {
        return labels;
    }
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) {
        return labels;
    }
    while (const struct dirent* entry = ::readdir(dir)) {
        const std::string name(entry->d_name);
        if (name == "." || name == "..") {
            continue;
        }
        QString label;
        if (!Platform::DecodePath(DecodeHexEscapes(QByteArray::fromStdString(name)), &label) ||
            label.isEmpty()) {
            continue;
        }
        const std::string device = CanonicalDevice(folder + "/" + name);
        labels.byDevicePath[device] = label;
        struct stat st;
        if (::stat(device.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
            labels.byDevice[st.st_rdev] = label;
        }
    }
    ::closedir(dir);
    return labels;
}

QString LabelOf(const Labels& labels, const MountEntry& entry) {
    if (!entry.source.empty() && entry.source[0] == '/') {
        const auto found = labels.byDevicePath.find(CanonicalDevice(entry.source));
        if (found != labels.byDevicePath.end()) {
            return found->second;
        }
    }
    const auto found = labels.byDevice.find(entry.device);
    return found != labels.byDevice.end() ? found->second : QString();
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

QString UniqueName(const QString& name, QSet<QString>* taken) {
    QString unique = name;
    for (int n = 2; taken->contains(unique); ++n) {
        unique = name + QLatin1Char(' ') + QString::number(n);
    }
    taken->insert(unique);
    return unique;
}

// Strips trailing slashes but keeps "/".
QString WithoutTrailingSlash(QString path) {
    while (path.size() > 1 && path.endsWith(QLatin1Char('/'))) {
        path.chop(1);
    }
    return path;
}

}  // namespace

namespace Details {

bool IsPseudoFileSystem(const QByteArray& type) {
    for (const char* pseudo : pseudoFileSystems) {
        if (type == pseudo) {
            return true;
        }
    }
    return false;
}

QList<StorageInfo> DisksFromMountTable(const QByteArray& mountInfo, const QString& labelFolder) {
    // A later mount on the same folder hides the earlier one: keep the last.
    QList<MountEntry> entries;
    QHash<QByteArray, int> indexByMountPoint;
    for (const QByteArray& line : mountInfo.split('\n')) {
        MountEntry entry;
        if (!ParseMountLine(line, &entry)) {
            continue;
        }
        const QByteArray key = QByteArray::fromStdString(entry.mountPoint);
        const auto found = indexByMountPoint.constFind(key);
        if (found != indexByMountPoint.constEnd()) {
            entries[found.value()] = MountEntry();  // hidden
        }
        indexByMountPoint.insert(key, entries.size());
        entries.append(entry);
    }

    const Labels labels = ReadLabels(labelFolder);
    QList<StorageInfo> disks;
    QSet<QString> names;
    for (const MountEntry& entry : entries) {
        if (entry.mountPoint.empty() || IsPseudoFileSystem(entry.type)) {
            continue;
        }
        QString mountPath;
        if (!Platform::DecodePath(entry.mountPoint, &mountPath) || !IsDirectory(entry.mountPoint)) {
            continue;
        }
        struct statvfs fs;
        if (::statvfs(entry.mountPoint.c_str(), &fs) != 0 || fs.f_blocks == 0) {
            continue;
        }
        const unsigned long long unit = fs.f_frsize ? fs.f_frsize : fs.f_bsize;
        StorageInfo disk;
        QString name = LabelOf(labels, entry);
        if (name.isEmpty()) {
            name = mountPath == QLatin1String("/") ? QString(rootName)
                                                   : mountPath.section(QLatin1Char('/'), -1);
        }
        disk.name = UniqueName(name, &names);
        disk.mountPath = mountPath;
        disk.capacity = static_cast<long long>(fs.f_blocks * unit);
        disk.available = static_cast<long long>(fs.f_bavail * unit);
        disks.append(disk);
    }
    return disks;
}

}  // namespace Details

QList<StorageInfo> LoadDiskList() {
    QFile table(QString::fromLatin1(mountTablePath));
    if (!table.open(QIODevice::ReadOnly)) {
        return {};
    }
    // The file is generated on read and reports size 0: read until the end.
    return Details::DisksFromMountTable(table.readAll(), QString::fromLatin1(labelFolderPath));
}

StorageInfo FindDisk(const QList<StorageInfo>& disks, const QString& path) {
    const QString p = WithoutTrailingSlash(path);
    if (!p.startsWith(QLatin1Char('/'))) {
        return StorageInfo();
    }
    const StorageInfo* best = nullptr;
    int bestLength = -1;
    for (const StorageInfo& disk : disks) {
        const QString mount = WithoutTrailingSlash(disk.mountPath);
        if (!mount.startsWith(QLatin1Char('/'))) {
            continue;
        }
        const bool holds = mount == QLatin1String("/") || p == mount ||
                           (p.startsWith(mount) && p.at(mount.size()) == QLatin1Char('/'));
        if (holds && mount.size() > bestLength) {
            best = &disk;
            bestLength = mount.size();
        }
    }
    return best ? *best : StorageInfo();
}

}  // namespace Varnex::Cleaner
