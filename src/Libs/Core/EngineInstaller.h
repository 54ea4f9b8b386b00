#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;
class QProcess;
class QTimer;

namespace Varnex::Cleaner::Details {

// Installs the antivirus engine: downloads its archive (a .tgz holding one
// folder "av-<version>") and puts that folder in place as `prefix`/engine.
//
// Nothing of the installed engine changes until the new one is known to be
// good. The run works in a folder of its own inside the prefix
// (".staging-<random>", mode 0700):
//  1. the body of the answer goes to a file there as it arrives; the run fails
//     on a network error, an HTTP status other than 200, a body shorter than
//     its Content-Length, more than 512 MiB, or a failed write;
//  2. `tar -tzf` lists the archive: every member must lie below the single top
//     folder "av-<version>/", none absolute, none with a ".." component, and
//     no member below one that is not a folder (a link, say);
//  3. `tar -xzf ... --no-same-owner` unpacks it into the staging folder; what
//     came out is examined without following links: no device, FIFO or socket,
//     and a symbolic link only with a relative target that stays inside the
//     top folder by its names (".." only at the start of the target);
//  4. the folder must hold bin/clamscan and bin/freshclam, regular executable
//     files, and a file "version" whose text (trimmed) is the version;
//  5. the installed engine is renamed into the staging folder, the new one
//     renamed to `prefix`/engine (on failure the old one is renamed back), and
//     the staging folder is removed with what it holds (the old engine too),
//     by file descriptor, never following a link nor crossing a mount.
// Nothing else in the prefix (the databases in prefix/db, say) is touched. Any
// failure leaves the installed engine as it was and the staging folder gone,
// and is logged (WARNING) and told by Finished(false, false, reason).
//
// tar is looked up in PATH and runs asynchronously; nothing here blocks the
// event loop (but the examination of the unpacked folder, which is small).
//
// Threads: the thread that owns it (the one of the network access manager).
class EngineInstaller : public QObject {
    Q_OBJECT
public:
    // The largest archive accepted.
    static constexpr qint64 archiveLimitBytes = qint64(512) << 20;
    // How long each run of tar may take.
    static constexpr int tarTimeLimitMs = 10 * 60 * 1000;

    // `network` is not owned and may be null (Start() then refuses).
    explicit EngineInstaller(QNetworkAccessManager* network, QObject* parent = nullptr);
    // A run still going is stopped without a signal; its staging folder goes.
    ~EngineInstaller() override;
    EngineInstaller(const EngineInstaller&) = delete;
    EngineInstaller& operator=(const EngineInstaller&) = delete;

    // Downloads the engine archive `url` (http or https) for `version` and
    // installs it as `prefix`/engine (`prefix` absolute; made when missing).
    // False, with a WARNING and nothing started, when a run is going, there is
    // no network access manager, the URL is not valid, the version is not
    // safe, or the prefix or the staging folder cannot be made or opened.
    // Otherwise true, and Finished() comes exactly once, later.
    bool Start(const QUrl& url, const QString& prefix, const QString& version);
    // Stops the run: nothing is installed and the staging folder goes. During
    // the download Finished(false, true, ...) comes before Cancel() returns;
    // during the unpacking once tar has exited. Nothing while idle.
    void Cancel();

    // From Start() until Finished().
    bool IsRunning() const { return m_phase != Phase::Idle; }
    // From UnpackingStarted() until Finished().
    bool IsUnpacking() const { return m_phase == Phase::Listing || m_phase == Phase::Extracting; }

    // The version names a folder and goes into file names and URLs: non-empty,
    // at most 32 characters, digits with dot-separated parts and an optional
    // "-suffix" (`^[0-9]+(\.[0-9A-Za-z]+)*(-[0-9A-Za-z.]+)?$`), no "..".
    static bool IsSafeVersion(const QString& version);

signals:
    // `total` is -1 while unknown.
    void DownloadProgress(qint64 received, qint64 total);
    // The download is complete; the archive is being checked and unpacked.
    void UnpackingStarted();
    // The end of a run that Start() began. `problem` tells why it failed (or
    // what was left behind after an installation); empty on a clean success.
    void Finished(bool installed, bool canceled, const QString& problem);

private:
    enum class Phase { Idle, Downloading, Listing, Extracting };
    enum class Stop { None, Canceled, Failed };

    void OnReadyRead();
    void OnReplyFinished();
    bool CheckAnswer();
    bool WriteChunk(const QByteArray& data);
    void StartTar(Phase phase, const QStringList& args);
    void OnTarOutput();
    void OnTarFinished(int exitCode, bool crashed);
    void OnListed();
    void OnExtracted();
    bool CheckListing(QString* why) const;
    bool CheckLayout(int topFd, QString* why) const;
    void Swap();

    // Ends the run: stops what still works, removes the staging folder and
    // emits Finished(). `problem` is logged unless the run succeeded.
    void Fail(const QString& problem);
    void Complete(bool installed, bool canceled, QString problem);
    void DropReply();
    void DropProcess();
    void CloseArchive();
    // Removes the staging folder; false (and *why) when something stays.
    bool RemoveStaging(QString* why);
    void CloseFds();

    QNetworkAccessManager* m_network;
    Phase m_phase = Phase::Idle;
    Stop m_stop = Stop::None;
    QString m_stopProblem;

    QString m_prefix;
    QString m_version;
    QString m_topName;      // "av-<version>"
    QString m_stagingName;  // ".staging-<random>"
    QString m_stagingPath;  // m_prefix + "/" + m_stagingName
    QString m_archivePath;
    int m_prefixFd = -1;
    int m_stagingFd = -1;
    int m_archiveFd = -1;

    QNetworkReply* m_reply = nullptr;
    qint64 m_received = 0;

    QProcess* m_process = nullptr;
    QTimer* m_tarTimer = nullptr;
    QByteArray m_tarOutput;
    QByteArray m_tarErrors;  // the last bytes of its error output
    bool m_tarOutputTooLong = false;
};

}  // namespace Varnex::Cleaner::Details
