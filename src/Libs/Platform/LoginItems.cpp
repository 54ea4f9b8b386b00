#include "Platform/LoginItems.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "Platform/PathCodec.h"
#include "Platform/SystemRoot.h"

namespace Varnex::Platform {

namespace {

const QString group = QStringLiteral("[Desktop Entry]");
const QString ourKey = QStringLiteral("X-Klarvik-Path");
const QString ourPrefix = QStringLiteral("klarvik-");
const QString hiddenKey = QStringLiteral("Hidden");
const QString gnomeKey = QStringLiteral("X-GNOME-Autostart-enabled");
// An autostart entry is a few hundred bytes.
const qint64 maxEntrySize = 64 * 1024;

void Fail(QString* problem, const QString& text) {
    if (problem) {
        *problem = text;
    }
}

QString ErrnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// One autostart entry as read.
struct Entry {
    QString path;
    QString fileName;
    bool isLink = false;
    QStringList lines;
    int header = -1;  // the line of [Desktop Entry]
    int end = 0;      // the first line after its group
    QString app;      // empty: not a login item
    bool on = false;
    // One of the system's entries (never changed); the user's entry of the
    // same name, which takes its place once written, is at overridePath.
    bool system = false;
    QString overridePath;
};

// The first value of `key` in the entry's group, escapes undone; null when absent.
QString Value(const Entry& entry, const QString& key) {
    for (int i = entry.header + 1; i < entry.end; ++i) {
        const QString& line = entry.lines.at(i);
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0 || line.startsWith(QLatin1Char('#')) || line.left(eq).trimmed() != key) {
            continue;
        }
        const QString raw = line.mid(eq + 1).trimmed();
        QString value;
        for (int c = 0; c < raw.size(); ++c) {
            if (raw.at(c) != QLatin1Char('\\') || c + 1 == raw.size()) {
                value += raw.at(c);
                continue;
            }
            const QChar next = raw.at(++c);
            switch (next.unicode()) {
                case 's':
                    value += QLatin1Char(' ');
                    break;
                case 'n':
                    value += QLatin1Char('\n');
                    break;
                case 't':
                    value += QLatin1Char('\t');
                    break;
                case 'r':
                    value += QLatin1Char('\r');
                    break;
                case '\\':
                    value += QLatin1Char('\\');
                    break;
                default:
                    value += QLatin1Char('\\');
                    value += next;
            }
        }
        return value.isNull() ? QStringLiteral("") : value;
    }
    return QString();
}

bool IsFalse(const QString& value) {
    return value.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0;
}
bool IsTrue(const QString& value) {
    return value.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0;
}

// The program of an Exec value: its first word, quotes and escapes undone.
QString FirstWord(const QString& exec) {
    int at = 0;
    while (at < exec.size() && exec.at(at) == QLatin1Char(' ')) {
        ++at;
    }
    QString word;
    if (at < exec.size() && exec.at(at) == QLatin1Char('"')) {
        for (++at; at < exec.size() && exec.at(at) != QLatin1Char('"'); ++at) {
            if (exec.at(at) == QLatin1Char('\\') && at + 1 < exec.size()) {
                ++at;
            }
            word += exec.at(at);
        }
    } else {
        for (; at < exec.size() && exec.at(at) != QLatin1Char(' '); ++at) {
            word += exec.at(at);
        }
    }
    return word.replace(QStringLiteral("%%"), QStringLiteral("%"));
}

// Programs that start another one named in their arguments.
bool IsLauncher(const QString& program) {
    static const QStringList launchers = {
        QStringLiteral("env"),        QStringLiteral("sh"),         QStringLiteral("bash"),
        QStringLiteral("dash"),       QStringLiteral("zsh"),        QStringLiteral("flatpak"),
        QStringLiteral("snap"),       QStringLiteral("nohup"),      QStringLiteral("python3"),
        QStringLiteral("python"),     QStringLiteral("perl"),       QStringLiteral("xdg-open"),
        QStringLiteral("gtk-launch"), QStringLiteral("systemd-run")};
    return launchers.contains(program.mid(program.lastIndexOf(QLatin1Char('/')) + 1));
}

// Reads the bytes of a regular file (links followed), never blocking on a FIFO.
bool ReadSmallFile(const std::string& bytes, QByteArray* out, QString* problem) {
    const int fd = ::open(bytes.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Fail(problem, ErrnoText(errno));
        return false;
    }
    std::unique_ptr<int, void (*)(int*)> closer(new int(fd), [](int* f) {
        ::close(*f);
        delete f;
    });
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > maxEntrySize) {
        Fail(problem, QStringLiteral("not a small regular file"));
        return false;
    }
    out->clear();
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            Fail(problem, ErrnoText(errno));
            return false;
        }
        if (n == 0) {
            return true;
        }
        out->append(buffer, static_cast<int>(n));
        if (out->size() > maxEntrySize) {
            Fail(problem, QStringLiteral("not a small regular file"));
            return false;
        }
    }
}

bool ReadEntry(const QString& folder, const QString& name, Entry* entry) {
    entry->fileName = name;
    entry->path = folder + QLatin1Char('/') + name;
    std::string bytes;
    if (!EncodePath(entry->path, &bytes)) {
        return false;
    }
    struct stat st {};
    entry->isLink = ::lstat(bytes.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    QByteArray content;
    QString text;
    if (!ReadSmallFile(bytes, &content, nullptr) ||
        !DecodePath(content.constData(), static_cast<std::size_t>(content.size()), &text)) {
        return false;  // not an entry anyone could read as one
    }
    entry->lines = text.split(QLatin1Char('\n'));
    for (int i = 0; i < entry->lines.size(); ++i) {
        const QString line = entry->lines.at(i).trimmed();
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            if (entry->header >= 0) {
                entry->end = i;
                break;
            }
            if (line == group) {
                entry->header = i;
            }
        }
        entry->end = i + 1;
    }
    if (entry->header < 0) {
        return false;
    }
    const QString mine = Value(*entry, ourKey);
    if (!mine.isNull() && mine.startsWith(QLatin1Char('/'))) {
        entry->app = mine;
    } else {
        const QString program = FirstWord(Value(*entry, QStringLiteral("Exec")));
        if (IsLauncher(program)) {
            // "env X=1 app", "sh -c ...", "flatpak run ...": the program
            // says nothing of the application; the entry itself stands for
            // it, so that two entries never become one.
            entry->app = entry->path;
        } else {
            entry->app = program.startsWith(QLatin1Char('/')) || program.isEmpty()
                             ? program
                             : QStandardPaths::findExecutable(program);
        }
    }
    entry->on = !IsTrue(Value(*entry, hiddenKey)) && !IsFalse(Value(*entry, gnomeKey));
    return true;
}

// The names of the ".desktop" entries of a folder. A missing folder has none.
bool ReadEntryNames(const QString& folder, QStringList* names, QString* problem) {
    std::string bytes;
    if (!EncodePath(folder, &bytes)) {
        Fail(problem, QStringLiteral("%1: not a usable folder name").arg(folder));
        return false;
    }
    DIR* dir = ::opendir(bytes.c_str());
    if (!dir) {
        if (errno == ENOENT) {
            return true;
        }
        Fail(problem, QStringLiteral("%1: %2").arg(folder, ErrnoText(errno)));
        return false;
    }
    errno = 0;
    while (const dirent* d = ::readdir(dir)) {
        QString name;
        if (DecodePath(d->d_name, std::strlen(d->d_name), &name) &&
            name.endsWith(QLatin1String(".desktop")) && name.size() > 8) {
            names->append(name);
        }
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0) {
        Fail(problem, QStringLiteral("%1: %2").arg(folder, ErrnoText(readError)));
        return false;
    }
    return true;
}

// The entries that count, by file name: every readable entry of the user's
// folder, then those of the system's folders whose name no entry before them
// has (the freedesktop.org rule: the user's entry of a name overrides the
// system's, and the first system folder the others).
bool ReadEntries(QList<Entry>* entries, QString* problem, QString* folderOut = nullptr) {
    const QString folder = LoginItemsFolder();
    if (folderOut) {
        *folderOut = folder;
    }
    if (folder.isEmpty()) {
        Fail(problem, QStringLiteral("no autostart folder: HOME is not usable"));
        return false;
    }
    QStringList names;
    if (!ReadEntryNames(folder, &names, problem)) {
        return false;
    }
    // An unreadable entry of the user's overrides the system's all the same.
    QSet<QString> taken(names.begin(), names.end());
    QList<Entry> found;
    for (const QString& name : names) {
        Entry entry;
        if (ReadEntry(folder, name, &entry)) {
            found.append(entry);
        }
    }
    for (const QString& systemFolder : SystemLoginItemsFolders()) {
        QStringList systemNames;
        if (!ReadEntryNames(systemFolder, &systemNames, problem)) {
            return false;
        }
        for (const QString& name : systemNames) {
            if (taken.contains(name)) {
                continue;
            }
            taken.insert(name);
            Entry entry;
            if (ReadEntry(systemFolder, name, &entry)) {
                entry.system = true;
                entry.overridePath = folder + QLatin1Char('/') + name;
                found.append(entry);
            }
        }
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const Entry& a, const Entry& b) { return a.fileName < b.fileName; });
    entries->append(found);
    return true;
}

// Qt's file classes take names as text: only names whose bytes Qt gives the
// kernel are the path codec's bytes are handed to them.
bool QtSpellsAlike(const QString& path) {
    std::string bytes;
    return EncodePath(path, &bytes) && QFile::encodeName(path) == QByteArray::fromStdString(bytes);
}

bool WriteWhole(const QString& path, const QString& text, QString* problem) {
    if (!QtSpellsAlike(path)) {
        Fail(problem, QStringLiteral("the entry's name cannot be written"));
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        Fail(problem, QStringLiteral("%1: %2").arg(path, file.errorString()));
        return false;
    }
    // commit() does not see a failure of the last buffered write: flush() does.
    const QByteArray bytes = text.toUtf8();
    if (file.write(bytes) != bytes.size() || !file.flush() || !file.commit()) {
        Fail(problem, QStringLiteral("%1: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

// A value escaped as the Desktop Entry format escapes strings.
QString Escaped(const QString& value) {
    QString out;
    for (int i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c == QLatin1Char('\\')) {
            out += QStringLiteral("\\\\");
        } else if (c == QLatin1Char(' ') && i == 0) {
            out += QStringLiteral("\\s");
        } else {
            out += c;
        }
    }
    return out;
}

// Writes a new file at `path` (its folder made when missing), never over an
// entry that is there: written whole beside, then renamed to its name only
// while that name is free.
bool WriteNew(const QString& path, const QString& text, QString* problem) {
    const QString folder = path.left(path.lastIndexOf(QLatin1Char('/')));
    std::string target;
    if (!QtSpellsAlike(path) || !EncodePath(path, &target) || !QDir().mkpath(folder)) {
        Fail(problem, QStringLiteral("%1: the entry cannot be written").arg(path));
        return false;
    }
    QTemporaryFile file(folder + QStringLiteral("/.klarvik-entry-XXXXXX"));
    const QByteArray bytes = text.toUtf8();
    std::string written;
    if (!file.open() || file.write(bytes) != bytes.size() || !file.flush() ||
        ::fchmod(file.handle(), 0644) != 0 || ::fsync(file.handle()) != 0 ||
        !EncodePath(file.fileName(), &written)) {
        Fail(problem, QStringLiteral("%1: %2").arg(path, file.errorString()));
        return false;
    }
    if (::renameat2(AT_FDCWD, written.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
        Fail(problem, QStringLiteral("%1: %2").arg(path, ErrnoText(errno)));
        return false;  // the copy goes with the temporary file
    }
    file.setAutoRemove(false);
    return true;
}

// Rewrites the entry with each key set to its value on every line of it in
// the group; "Hidden=true" is added after the group's header when it has no
// Hidden line. The other lines stay as they are.
//
// A system entry is never changed: the user's entry of the same name is
// written instead, a copy with the keys set and its application named
// (X-Klarvik-Path), so that it stands for the same application, and never
// over a file that appeared there meanwhile.
bool SetKeys(const Entry& entry, const QList<QPair<QString, QString>>& keys, QString* problem) {
    if (entry.isLink && !entry.system) {
        Fail(problem, QStringLiteral("%1 is a symbolic link: not changed").arg(entry.path));
        return false;
    }
    QStringList lines = entry.lines;
    int end = entry.end;
    for (const auto& [key, value] : keys) {
        bool found = false;
        for (int i = entry.header + 1; i < end; ++i) {
            const QString& line = lines.at(i);
            const int eq = line.indexOf(QLatin1Char('='));
            if (eq > 0 && !line.startsWith(QLatin1Char('#')) && line.left(eq).trimmed() == key) {
                lines[i] = key + QLatin1Char('=') + value;
                found = true;
            }
        }
        if (!found && ((key == hiddenKey && value == QLatin1String("true")) || entry.system)) {
            lines.insert(entry.header + 1, key + QLatin1Char('=') + value);
            ++end;
        }
    }
    if (entry.system) {
        if (Value(entry, ourKey).isNull()) {
            lines.insert(entry.header + 1, ourKey + QLatin1Char('=') + Escaped(entry.app));
        }
        return WriteNew(entry.overridePath, lines.join(QLatin1Char('\n')), problem);
    }
    return WriteWhole(entry.path, lines.join(QLatin1Char('\n')), problem);
}

// The Exec line's program: quoted, with its reserved characters escaped.
QString QuotedProgram(const QString& path) {
    QString out = QStringLiteral("\"");
    for (const QChar c : path) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
            c == QLatin1Char('\\')) {
            out += QLatin1Char('\\');
        }
        out += c == QLatin1Char('%') ? QStringLiteral("%%") : QString(c);
    }
    return out + QLatin1Char('"');
}

bool WriteOurEntry(const QString& folder, const QString& path, QString* problem) {
    if (!QtSpellsAlike(folder) || !QDir().mkpath(folder)) {
        Fail(problem, QStringLiteral("%1: the folder cannot be made").arg(folder));
        return false;
    }
    QString base = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    for (QChar& c : base) {
        if (!(c.isLetterOrNumber() && c.unicode() < 0x80) && c != QLatin1Char('.') &&
            c != QLatin1Char('-') && c != QLatin1Char('_')) {
            c = QLatin1Char('_');
        }
    }
    QString name;
    for (int n = 1; n < 1000; ++n) {
        const QString candidate = ourPrefix + base +
                                  (n == 1 ? QString() : QStringLiteral("-%1").arg(n)) +
                                  QStringLiteral(".desktop");
        std::string bytes;
        struct stat st {};
        if (EncodePath(folder + QLatin1Char('/') + candidate, &bytes) &&
            ::lstat(bytes.c_str(), &st) != 0 && errno == ENOENT) {
            name = candidate;
            break;
        }
    }
    if (name.isEmpty()) {
        Fail(problem, QStringLiteral("no free entry name in %1").arg(folder));
        return false;
    }
    const QString shownName = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    const QString text =
        QStringLiteral("[Desktop Entry]\nType=Application\nName=") + Escaped(shownName) +
        QStringLiteral("\nExec=") + Escaped(QuotedProgram(path)) + QLatin1Char('\n') + ourKey +
        QLatin1Char('=') + Escaped(path) + QLatin1Char('\n') + gnomeKey + QStringLiteral("=true\n");
    return WriteWhole(folder + QLatin1Char('/') + name, text, problem);
}

bool HasControlCharacters(const QString& path) {
    return std::any_of(path.begin(), path.end(),
                       [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

}  // namespace

QString LoginItemsFolder() {
    QString config;
    switch (ReadPathVariable("XDG_CONFIG_HOME", &config)) {
        case PathVariable::VALID:
            return config + QStringLiteral("/autostart");
        case PathVariable::UNDECODABLE:
            return QString();
        case PathVariable::UNSET:
            break;
    }
    const QString home = HomePath();
    return home.isEmpty() ? QString() : home + QStringLiteral("/.config/autostart");
}

QStringList SystemLoginItemsFolders() {
    QString dirs;
    switch (ReadPathVariable("XDG_CONFIG_DIRS", &dirs)) {
        case PathVariable::VALID: {
            QStringList folders;
            for (const QString& dir : dirs.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
                // A relative one names no folder anyone could tell.
                if (dir.startsWith(QLatin1Char('/'))) {
                    folders.append(dir + QStringLiteral("/autostart"));
                }
            }
            return folders;
        }
        case PathVariable::UNDECODABLE:
            return {};  // which folders were meant cannot be told
        case PathVariable::UNSET:
            break;
    }
    return {SystemPath(QStringLiteral("/etc/xdg/autostart"))};
}

bool ListLoginItems(QStringList* paths, QString* problem) {
    QList<Entry> entries;
    if (!ReadEntries(&entries, problem)) {
        return false;
    }
    paths->clear();
    for (const Entry& entry : entries) {
        if (entry.on && !entry.app.isEmpty() && !paths->contains(entry.app)) {
            paths->append(entry.app);
        }
    }
    return true;
}

bool InsertLoginItem(const QString& path, QString* problem) {
    if (!path.startsWith(QLatin1Char('/')) || HasControlCharacters(path)) {
        Fail(problem, QStringLiteral("not an absolute path without control characters"));
        return false;
    }
    QList<Entry> entries;
    QString folder;
    if (!ReadEntries(&entries, problem, &folder)) {
        return false;
    }
    const Entry* off = nullptr;
    for (const Entry& entry : entries) {
        if (entry.app != path) {
            continue;
        }
        if (entry.on) {
            return true;
        }
        // The user's own entry first; a system entry is switched on by the
        // user's entry of its name.
        if (!entry.system && !entry.isLink) {
            off = &entry;
            break;
        }
        if (!off && entry.system) {
            off = &entry;
        }
    }
    if (off) {
        return SetKeys(*off,
                       {{hiddenKey, QStringLiteral("false")}, {gnomeKey, QStringLiteral("true")}},
                       problem);
    }
    return WriteOurEntry(folder, path, problem);
}

bool RemoveLoginItem(const QString& path, QString* problem) {
    QList<Entry> entries;
    if (!ReadEntries(&entries, problem)) {
        return false;
    }
    bool any = false;
    bool ok = true;
    for (const Entry& entry : entries) {
        if (!entry.on || entry.app != path) {
            continue;
        }
        any = true;
        // Switched off, never deleted (ours included: a name is no proof of
        // who wrote a file), so the entry can come back whole.
        if (!SetKeys(entry, {{hiddenKey, QStringLiteral("true")}}, problem)) {
            ok = false;
        }
    }
    if (!any) {
        Fail(problem, QStringLiteral("not in the login list"));
    }
    return any && ok;
}

}  // namespace Varnex::Platform
