// klarvik: drives the cleaner core from the command line, as the application
// does through its signals.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <utility>

#include "AppsCommand.h"
#include "CleanerCommon/Logging.h"
#include "CleanerCommon/Paths.h"
#include "Commands.h"
#include "FacadeCommand.h"
#include "AntiVirusCommand.h"
#include "ApplicationsCommand.h"
#include "DuplicatesCommand.h"
#include "ExclusionSpelling.h"
#include "LanguagesCommand.h"
#include "LargeOldCommand.h"
#include "PhotoCommand.h"
#include "Platform/PathCodec.h"
#include "ShownText.h"
#include "StartupItemsCommand.h"
#include "SysinfoCommand.h"

namespace {

int Usage(const QCommandLineParser& parser, const QString& error) {
    if (!error.isEmpty()) {
        std::fprintf(stderr, "klarvik: %s\n\n", error.toUtf8().constData());
    }
    std::fprintf(stderr, "%s", parser.helpText().toUtf8().constData());
    return Klarvik::EXIT_USAGE;
}

// The arguments as text, each decoded from its own bytes through the path
// codec, whatever the locale says: paths are UTF-8, and an argument that is
// not is refused rather than read as some other name (a "\xFF" taken for
// U+FFFD, or for "\u00FF" under Latin-1, names another file). False, with
// the argument named, when one does not decode.
bool DecodeArguments(int argc, char** argv, QStringList* out) {
    out->append(QStringLiteral("klarvik"));  // argv[0] names only the program
    for (int i = 1; i < argc; ++i) {
        QString text;
        if (!Varnex::Platform::DecodePath(argv[i], std::strlen(argv[i]), &text)) {
            const QByteArray shown = Klarvik::ShownBytes(QByteArray(argv[i])).toUtf8();
            std::fprintf(stderr,
                         "klarvik: argument %d \"%s\" is not valid UTF-8: paths are taken only "
                         "as UTF-8, nothing was done\n",
                         i, shown.constData());
            return false;
        }
        out->append(text);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("klarvik"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KLARVIK_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral(
            "Scans and cleans reclaimable data.\n\n"
            "Commands:\n"
            "  scopes [--json]             every scope of the product, its state and sizes\n"
            "  scan [SCOPE...] [--json]    scan the scopes (all by default) at once, as the\n"
            "                              application does, and print their sizes\n"
            "  clean SCOPE... [--yes|--dry-run] [--select PATH]...\n"
            "                              scan them, then remove what each selects by\n"
            "                              default (or exactly what --select names)\n"
            "                              SCOPE: user-caches, user-logs, system-caches,\n"
            "                              system-logs, trash:VOLUME, app-languages,\n"
            "                              system-languages, apps, third-party-apps,\n"
            "                              leftovers, large-old, login-items, launch-agents,\n"
            "                              duplicates, disk-usage, shredder, antivirus\n"
            "                              (with --antivirus-path PATH...), photo-trash and\n"
            "                              photo-vacuum (with a photo library)\n"
            "  scan  --kind KIND PATH...   scan and print the tree\n"
            "  clean --kind KIND PATH...   scan, then remove what is selected by default\n"
            "  scan|clean --kind app-languages|system-languages [--select language://NAME]...\n"
            "                              unused localizations, by language (no paths)\n"
            "  scan|clean --kind apps|third-party-apps|leftovers [--select PATH]...\n"
            "                              applications with their leftovers, or the\n"
            "                              leftovers of removed ones (no paths)\n"
            "  scan|clean --kind duplicates [--keep newest|oldest] [--delete] [--gentle] PATH...\n"
            "                              identical files; one copy of each stays\n"
            "  scan|clean --kind large-old [--select PATH]... PATH...\n"
            "                              files of 10,000,000 bytes or more (a package as one),\n"
            "                              largest first with last use and kind; nothing is\n"
            "                              selected: clean removes exactly the --select'ed ones\n"
            "  scan|clean --kind launch-agents|login-items [--enable PATH]... [--disable PATH]...\n"
            "             [--select PATH]...\n"
            "                              launchd jobs (on: loaded) and login items (on: in the\n"
            "                              login list), no paths; --enable/--disable switch one\n"
            "                              on or off; clean takes the --select'ed ones only: a\n"
            "                              launch agent is unloaded, and its job file removed once\n"
            "                              the job is no longer loaded; a login item is taken out\n"
            "                              of the login list and forgotten\n"
            "  scan|clean --kind antivirus [--select PATH]... PATH...\n"
            "                              infected files below the paths, found by the\n"
            "                              installed ClamAV engine; clean removes the selected\n"
            "                              ones (all by default), each once a scan of that file\n"
            "                              alone confirms it\n"
            "  scan|clean --kind photo-vacuum [--yes|--dry-run]\n"
            "                              the photo library's database, and its compaction\n"
            "                              (never while the photo application runs; no paths)\n"
            "  scan|clean --kind photo-trash [--select PATH]... [--yes|--dry-run]\n"
            "                              the photo library's trash; clean has the photo\n"
            "                              application empty it (whole: all must be selected),\n"
            "                              then removes the files it let go from the trash\n"
            "  antivirus status|update [--json]\n"
            "                              the engine and signature databases: what is\n"
            "                              installed and behind, or bring them up to date from\n"
            "                              $KLARVIK_CLAMAV_ENGINE_URL and $KLARVIK_CLAMAV_MIRRORS\n"
            "  sysinfo                     print the system information (model, memory, disks...)\n"
            "  apps                        list the installed applications (standard, other "
            "vendors')\n\n"
            "Kinds (default caches):\n"
            "  caches, logs, trash         the contents of the root folders, everything selected\n"
            "  disk-usage                  what takes the space below the roots, nothing selected\n"
            "  shredder                    the roots' contents, overwritten before removal\n"
            "  app-languages, system-languages  localizations of applications / the system\n"
            "  duplicates                  files with identical contents below the roots\n"
            "  large-old                   files of 10,000,000 bytes or more below the roots\n"
            "  launch-agents, login-items  launchd jobs; applications started at login\n"
            "  antivirus                   infected files below the roots\n"
            "  photo-vacuum                the photo library's database (no paths)\n"
            "  photo-trash                 the photo library's trash (no paths)\n"
            "  apps, third-party-apps, leftovers  applications with their data; what is left\n"
            "                              of applications that are gone\n\n"
            "Paths: the macOS folders the library knows (/Applications, /Library, /Users,\n"
            "...) are looked up below $KLARVIK_SYSROOT (unset: /), the user's (~/Library,\n"
            "~/.Trash, ...) below $HOME. Roots given on the command line are taken as they\n"
            "are, as UTF-8 bytes.") +
        QStringLiteral("\n\nExit status: 0 done; 1 something failed or is in error anywhere "
                       "in the tree,\nor a root was refused while others were scanned; 2 bad "
                       "usage or no root\ncould be scanned; 130 stopped by Ctrl-C."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("scopes, scan, clean, antivirus, sysinfo or apps"));
    parser.addPositionalArgument(QStringLiteral("paths"), QStringLiteral("root folders"),
                                 QStringLiteral("[PATH...]"));
    const QCommandLineOption kind(
        QStringLiteral("kind"),
        QStringLiteral("The kind of data: ") + Klarvik::ScopeKindNames().join(QStringLiteral(", ")),
        QStringLiteral("KIND"), QStringLiteral("caches"));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Print one JSON document, written as it goes."));
    const QCommandLineOption jsonl(
        QStringLiteral("jsonl"),
        QStringLiteral("Print JSON Lines (scan and clean): one object a line, each with a "
                       "\"type\": \"progress\" while scanning and cleaning, \"item\" for each "
                       "item of the tree (path, name, size, check, status, error, depth, "
                       "parent), \"would_remove\", \"removed\" or \"failed\" for each "
                       "planned path, and a \"summary\" last."));
    const QCommandLineOption list(
        QStringLiteral("list"),
        QStringLiteral("After cleaning, list what was removed and the tree as it is too "
                       "(otherwise only the failures and the totals)."));
    const QCommandLineOption yes(QStringLiteral("yes"), QStringLiteral("Clean without asking."));
    const QCommandLineOption dryRun(QStringLiteral("dry-run"),
                                    QStringLiteral("List what would be removed."));
    const QCommandLineOption exclude(QStringLiteral("exclude"),
                                     QStringLiteral("Leave out every path that contains TEXT."),
                                     QStringLiteral("TEXT"));
    const QCommandLineOption select(
        QStringLiteral("select"),
        QStringLiteral("Check exactly the item at PATH and what is below it, uncheck the rest "
                       "(repeatable; a PATH not in the scanned tree is an error)."),
        QStringLiteral("PATH"));
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     QStringLiteral("Print the library's log lines."));
    const QCommandLineOption keep(
        QStringLiteral("keep"),
        QStringLiteral("duplicates: the copy of each group that stays, newest or oldest."),
        QStringLiteral("WHICH"), QStringLiteral("newest"));
    const QCommandLineOption deleteFiles(
        QStringLiteral("delete"),
        QStringLiteral("duplicates: delete the copies instead of moving them to the Trash."));
    const QCommandLineOption gentle(
        QStringLiteral("gentle"),
        QStringLiteral("duplicates: scan with a pause before every entry, as in the background."));
    const QCommandLineOption depth(
        QStringLiteral("depth"),
        QStringLiteral("Text: show the tree down to depth N (0: the roots); an item whose "
                       "children are hidden says how many items lie below it. Default: all "
                       "for scan, 1 before the question of clean (all with --list)."),
        QStringLiteral("N"));
    const QCommandLineOption sort(
        QStringLiteral("sort"),
        QStringLiteral("Text: order siblings by size (largest first) or name."),
        QStringLiteral("size|name"));
    const QCommandLineOption quiet(QStringLiteral("quiet"),
                                   QStringLiteral("Text: the totals and failures, no tree."));
    const QCommandLineOption enable(
        QStringLiteral("enable"),
        QStringLiteral("launch-agents, login-items: switch the item at PATH on (repeatable)."),
        QStringLiteral("PATH"));
    const QCommandLineOption disable(
        QStringLiteral("disable"),
        QStringLiteral("launch-agents, login-items: switch the item at PATH off (repeatable)."),
        QStringLiteral("PATH"));
    const QCommandLineOption antiVirusPath(
        QStringLiteral("antivirus-path"),
        QStringLiteral("With scope names: a folder the antivirus scope scans (repeatable)."),
        QStringLiteral("PATH"));
    parser.addOptions({kind, json, jsonl, list, yes, dryRun, exclude, select, verbose, keep,
                       deleteFiles, gentle, depth, sort, quiet, enable, disable, antiVirusPath});
    QStringList arguments;
    if (!DecodeArguments(argc, argv, &arguments)) {
        return Klarvik::EXIT_USAGE;
    }
    if (!parser.parse(arguments)) {
        return Usage(parser, Klarvik::Shown(parser.errorText()));
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::fprintf(stdout, "%s", parser.helpText().toUtf8().constData());
        return Klarvik::EXIT_DONE;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::fprintf(stdout, "klarvik %s\n", KLARVIK_VERSION);
        return Klarvik::EXIT_DONE;
    }
    Varnex::Util::InitLogging(argv[0], parser.isSet(verbose) ? 0 : 2);

    QStringList args = parser.positionalArguments();
    if (args.isEmpty()) {
        return Usage(parser, QStringLiteral("no command given"));
    }
    Klarvik::Options options;
    options.command = args.takeFirst();
    if (!Klarvik::ParseScopeKind(parser.value(kind), &options.kind)) {
        return Usage(parser,
                     QStringLiteral("unknown kind \"%1\"").arg(Klarvik::Shown(parser.value(kind))));
    }
    options.paths = args;
    for (const QString& e : parser.values(exclude)) {
        // A path is matched as the scan spells paths: "/a//b", "/a/./b" and
        // "/a/b/." mean "/a/b". With ".." what it names depends on links, so
        // it could protect nothing: refused rather than guessed.
        if (!e.startsWith(QLatin1Char('/'))) {
            if (!Klarvik::IsUsableRelativeExclusion(e)) {
                return Usage(parser, QStringLiteral("--exclude \"%1\": the scan never spells a "
                                                    "path with \".\", \"..\" or \"//\"; give "
                                                    "a name or an absolute path")
                                         .arg(Klarvik::Shown(e)));
            }
            options.exclusions.append(e);
            continue;
        }
        const QString normal = Varnex::Cleaner::NormalizeAbsolutePath(e);
        if (normal.isNull()) {
            return Usage(parser, QStringLiteral("--exclude \"%1\": a path with \"..\" is not "
                                                "taken; give it without")
                                     .arg(Klarvik::Shown(e)));
        }
        // Also as the scan spells it below a root that reaches it through a
        // link or a bind mount.
        for (const QString& spelled : Klarvik::ExclusionSpellings(
                 normal,
                 Klarvik::IsLanguageKind(options.kind) || Klarvik::IsApplicationKind(options.kind)
                     ? Klarvik::LanguageSearchRoots()
                     : args)) {
            options.exclusions.append(spelled);
        }
    }
    for (const QString& path : parser.values(select)) {
        if (Klarvik::IsLanguageKind(options.kind) &&
            path.startsWith(QLatin1String("language://"))) {
            options.selections.append(path);
            continue;
        }
        if (options.kind == Klarvik::ScopeKind::PhotoTrash &&
            path.startsWith(QLatin1String("iPhoto://"))) {
            options.selections.append(path);  // an album or a folder of albums
            continue;
        }
        const QString normal = Varnex::Cleaner::NormalizeAbsolutePath(path);
        if (normal.isNull()) {
            return Usage(parser, QStringLiteral("--select \"%1\": give an absolute path, "
                                                "without \"..\"")
                                     .arg(Klarvik::Shown(path)));
        }
        options.selections.append(normal);
    }
    // The options that take absolute paths, each into its list.
    const std::pair<const QCommandLineOption*, QStringList*> pathOptions[] = {
        {&enable, &options.enables},
        {&disable, &options.disables},
        {&antiVirusPath, &options.antiVirusPaths}};
    for (const auto& [option, list] : pathOptions) {
        for (const QString& path : parser.values(*option)) {
            const QString normal = Varnex::Cleaner::NormalizeAbsolutePath(path);
            if (normal.isNull()) {
                return Usage(parser, QStringLiteral("--%1 \"%2\": give an absolute path, "
                                                    "without \"..\"")
                                         .arg(option->names().first(), Klarvik::Shown(path)));
            }
            list->append(normal);
        }
    }
    if (!Klarvik::IsStartupKind(options.kind) &&
        (!options.enables.isEmpty() || !options.disables.isEmpty())) {
        return Usage(parser, QStringLiteral("--enable and --disable are for the kinds "
                                            "\"launch-agents\" and \"login-items\""));
    }
    options.json = parser.isSet(json);
    options.jsonl = parser.isSet(jsonl);
    options.list = parser.isSet(list);
    if (options.json && options.jsonl) {
        return Usage(parser, QStringLiteral("--json and --jsonl: give one of them"));
    }
    options.quiet = parser.isSet(quiet);
    if (parser.isSet(depth)) {
        bool ok = false;
        options.depth = parser.value(depth).toInt(&ok);
        if (!ok || options.depth < 0) {
            return Usage(parser, QStringLiteral("--depth \"%1\": give a number from 0")
                                     .arg(Klarvik::Shown(parser.value(depth))));
        }
    }
    options.sort = parser.value(sort);
    if (parser.isSet(sort) && options.sort != QLatin1String("size") &&
        options.sort != QLatin1String("name")) {
        return Usage(parser, QStringLiteral("--sort \"%1\": give size or name")
                                 .arg(Klarvik::Shown(options.sort)));
    }
    options.keep = parser.value(keep);
    options.deleteFiles = parser.isSet(deleteFiles);
    options.gentle = parser.isSet(gentle);
    const bool duplicates = options.kind == Klarvik::ScopeKind::Duplicates;
    if (options.keep != QLatin1String("newest") && options.keep != QLatin1String("oldest")) {
        return Usage(parser, QStringLiteral("--keep \"%1\": give newest or oldest")
                                 .arg(Klarvik::Shown(options.keep)));
    }
    if (!duplicates && (parser.isSet(keep) || options.deleteFiles || options.gentle)) {
        return Usage(parser, QStringLiteral("--keep, --delete and --gentle are for the kind "
                                            "\"duplicates\""));
    }
    if (duplicates && options.jsonl) {
        return Usage(parser, QStringLiteral("the kind \"duplicates\" takes --json, not --jsonl"));
    }
    options.yes = parser.isSet(yes);
    options.dryRun = parser.isSet(dryRun);
    Klarvik::AppendToolFolderToPath();
    const bool tree =
        options.command == QLatin1String("scan") || options.command == QLatin1String("clean");
    if (!tree && options.jsonl) {
        return Usage(parser, QStringLiteral("--jsonl is for scan and clean; sysinfo and apps "
                                            "take --json"));
    }
    // Without --kind, scan and clean take scope names and run on the facade;
    // a path among them means the old default kind.
    const bool scopeNames =
        std::none_of(args.begin(), args.end(),
                     [](const QString& a) { return a.startsWith(QLatin1Char('/')); });
    if (options.command == QLatin1String("scopes") ||
        (tree && !parser.isSet(kind) && scopeNames)) {
        if (!options.exclusions.isEmpty() || options.jsonl || !options.enables.isEmpty() ||
            !options.disables.isEmpty()) {
            return Usage(parser, QStringLiteral("with scope names, scan and clean take --json, "
                                                "--yes, --dry-run, --select and "
                                                "--antivirus-path"));
        }
        if (options.command == QLatin1String("scopes") && !options.antiVirusPaths.isEmpty()) {
            return Usage(parser, QStringLiteral("--antivirus-path is for scan and clean"));
        }
        return Klarvik::RunFacade(options, args);
    }
    if (!options.antiVirusPaths.isEmpty()) {
        return Usage(parser, QStringLiteral("--antivirus-path is for scan and clean with scope "
                                            "names; --kind antivirus takes the paths themselves"));
    }
    if (options.command == QLatin1String("antivirus")) {
        if (args.size() != 1 || (args.first() != QLatin1String("status") &&
                                 args.first() != QLatin1String("update"))) {
            return Usage(parser, QStringLiteral("antivirus takes status or update"));
        }
        return Klarvik::RunAntiVirus(args.first(), options.json);
    }
    if (options.command == QLatin1String("sysinfo")) {
        return Klarvik::RunSysinfo(options.json);
    }
    if (options.command == QLatin1String("apps")) {
        return Klarvik::RunApps(options.json);
    }
    if (tree) {
        if (Klarvik::IsLanguageKind(options.kind)) {
            if (!options.paths.isEmpty()) {
                return Usage(parser, QStringLiteral("the kind \"%1\" takes no path")
                                         .arg(Klarvik::ScopeKindName(options.kind)));
            }
            return Klarvik::RunLanguages(options);
        }
        if (Klarvik::IsStartupKind(options.kind)) {
            if (!options.paths.isEmpty()) {
                return Usage(parser, QStringLiteral("the kind \"%1\" takes no path")
                                         .arg(Klarvik::ScopeKindName(options.kind)));
            }
            if (options.jsonl) {
                return Usage(parser, QStringLiteral("the kind \"%1\" takes --json, not --jsonl")
                                         .arg(Klarvik::ScopeKindName(options.kind)));
            }
            return Klarvik::RunStartupItems(options);
        }
        if (options.kind == Klarvik::ScopeKind::PhotoVacuum) {
            if (!options.paths.isEmpty()) {
                return Usage(parser, QStringLiteral("the kind \"%1\" takes no path")
                                         .arg(Klarvik::ScopeKindName(options.kind)));
            }
            return Klarvik::RunPhotoVacuum(options);
        }
        if (options.kind == Klarvik::ScopeKind::PhotoTrash) {
            if (!options.paths.isEmpty()) {
                return Usage(parser, QStringLiteral("the kind \"%1\" takes no path")
                                         .arg(Klarvik::ScopeKindName(options.kind)));
            }
            return Klarvik::RunPhotoTrash(options);
        }
        if (Klarvik::IsApplicationKind(options.kind)) {
            if (!options.paths.isEmpty()) {
                return Usage(parser, QStringLiteral("the kind \"%1\" takes no path")
                                         .arg(Klarvik::ScopeKindName(options.kind)));
            }
            return Klarvik::RunApplications(options);
        }
        if (options.paths.isEmpty()) {
            return Usage(parser, QStringLiteral("no path given"));
        }
        if (options.kind == Klarvik::ScopeKind::Duplicates) {
            return Klarvik::RunDuplicates(options);
        }
        if (options.kind == Klarvik::ScopeKind::LargeOld) {
            return Klarvik::RunLargeOld(options);
        }
        if (options.kind == Klarvik::ScopeKind::AntiVirus) {
            return Klarvik::RunAntiVirusScan(options);
        }
        return options.command == QLatin1String("scan") ? Klarvik::RunScan(options)
                                                        : Klarvik::RunClean(options);
    }
    return Usage(parser,
                 QStringLiteral("unknown command \"%1\"").arg(Klarvik::Shown(options.command)));
}
