#pragma once

#include <QString>
#include <QStringList>

// The user's login items. On macOS they are the session's shared file list;
// here they are the freedesktop.org autostart entries of the session: the
// ".desktop" files of $XDG_CONFIG_HOME/autostart ($HOME/.config/autostart
// when XDG_CONFIG_HOME is unset), and those of the system's folders
// (SystemLoginItemsFolders()) that no entry of the user's of the same file
// name overrides.
//
// The mapping:
//  - An entry is in the login list when it is switched on: neither
//    "Hidden=true" nor "X-GNOME-Autostart-enabled=false" in its
//    [Desktop Entry] group (true and false taken in any case).
//  - The path of an entry is the application it starts: its
//    "X-Klarvik-Path" (written by us), else the first word of its "Exec"
//    line (quotes and escapes as the freedesktop.org Desktop Entry format
//    has them), looked up in PATH when it is not absolute. When that word
//    is a launcher (env, a shell, flatpak, ...) the entry file itself is the
//    path, so that entries of different applications never merge. An entry
//    whose application cannot be told is no login item.
//  - Insert switches an entry of the application on again when there is one
//    ("Hidden=false", "X-GNOME-Autostart-enabled=true" where such lines are),
//    else writes an entry of ours, "klarvik-NAME.desktop".
//  - Remove switches every entry of the application off with "Hidden=true",
//    every other line kept as it was, so the entry can be switched on again
//    and loses nothing; no entry is ever deleted.
//  - A system entry is never changed: it is switched off (or on) by writing
//    the user's entry of its file name, a copy of it with "Hidden=true" (or
//    "Hidden=false") that names its application (X-Klarvik-Path).
// Files are replaced atomically (written whole beside, then renamed over);
// an entry that is a symbolic link is read but never changed. OnlyShowIn and
// NotShowIn are not read: an entry meant for another desktop counts too.
//
// Threads: any, one call at a time. Failures are answered (false and
// *problem); nothing is logged here.
namespace Varnex::Platform {

// The autostart folder; empty when neither variable gives one.
QString LoginItemsFolder();
// The system's autostart folders, the most important first: "autostart" in
// each folder of $XDG_CONFIG_DIRS, else /etc/xdg/autostart below the system
// root. None when XDG_CONFIG_DIRS does not decode.
QStringList SystemLoginItemsFolders();

// The paths of the switched-on entries, in the order of their file names,
// each once. False, with *problem, when the folder exists but cannot be
// read; a missing folder is an empty list.
bool ListLoginItems(QStringList* paths, QString* problem = nullptr);

// Puts the application at `path` (absolute) into the login list. True when
// it is in it afterwards (also when it already was).
bool InsertLoginItem(const QString& path, QString* problem = nullptr);

// Takes the application at `path` out of the login list: every switched-on
// entry of it. True when some entry was switched off or deleted and none is
// left on; false when none was on, or one could not be changed.
bool RemoveLoginItem(const QString& path, QString* problem = nullptr);

}  // namespace Varnex::Platform
