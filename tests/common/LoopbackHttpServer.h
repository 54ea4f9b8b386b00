#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

namespace Varnex::Test {

// A small HTTP/1.1 server on 127.0.0.1 for the tests of network clients. It
// runs on the thread that made it, through the event loop, and answers GET
// only, one request per connection ("Connection: close"). A path nobody
// served gets 404; anything but GET gets 405.
//
// Clients must bypass any proxy (QNetworkProxy::NoProxy): the environment of
// a test run may name one.
class LoopbackHttpServer : public QObject {
    Q_OBJECT
public:
    struct Response {
        int status = 200;
        QByteArray body;
        int delayMs = 0;            // wait this long before answering
        qint64 cutAfter = -1;       // close the connection after this many body bytes
        qint64 claimedLength = -1;  // the Content-Length sent; -1: the body's real size
    };

    LoopbackHttpServer();
    ~LoopbackHttpServer() override;

    // Listens on an ephemeral port; false (with a test failure) when it cannot.
    bool Listen();
    // http://127.0.0.1:<port><path>
    QUrl Url(const QString& path) const;
    void Serve(const QString& path, const Response& response);
    // Requests for `path` received so far (their headers complete).
    int Hits(const QString& path) const;

private:
    void OnConnection();
    void OnReadable(QTcpSocket* socket);
    void Answer(QTcpSocket* socket, const QString& path, bool isGet);

    QTcpServer m_server;
    QHash<QString, Response> m_responses;
    QHash<QString, int> m_hits;
};

}  // namespace Varnex::Test
