#include "common/LoopbackHttpServer.h"

#include <gtest/gtest.h>

#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace Varnex::Test {

namespace {

// Bytes of request head a client may send before the server gives up on it.
const int headLimit = 64 * 1024;

QByteArray ReasonOf(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

}  // namespace

LoopbackHttpServer::LoopbackHttpServer() {
    connect(&m_server, &QTcpServer::newConnection, this, &LoopbackHttpServer::OnConnection);
}

LoopbackHttpServer::~LoopbackHttpServer() = default;

bool LoopbackHttpServer::Listen() {
    const bool ok = m_server.listen(QHostAddress::LocalHost, 0);
    EXPECT_TRUE(ok) << "cannot listen on 127.0.0.1: " << m_server.errorString().toStdString();
    return ok;
}

QUrl LoopbackHttpServer::Url(const QString& path) const {
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(m_server.serverPort());
    url.setPath(path);
    return url;
}

void LoopbackHttpServer::Serve(const QString& path, const Response& response) {
    m_responses.insert(path, response);
}

int LoopbackHttpServer::Hits(const QString& path) const {
    return m_hits.value(path, 0);
}

void LoopbackHttpServer::OnConnection() {
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { OnReadable(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void LoopbackHttpServer::OnReadable(QTcpSocket* socket) {
    if (socket->property("answered").toBool()) {
        socket->readAll();  // one request per connection: the rest is ignored
        return;
    }
    QByteArray head = socket->property("head").toByteArray() + socket->readAll();
    const int end = head.indexOf("\r\n\r\n");
    if (end < 0) {
        if (head.size() > headLimit) {
            socket->abort();
            socket->deleteLater();
            return;
        }
        socket->setProperty("head", head);
        return;
    }
    socket->setProperty("answered", true);
    socket->setProperty("head", QVariant());
    // "GET /path?query HTTP/1.1"
    const QList<QByteArray> words = head.left(head.indexOf("\r\n")).split(' ');
    const bool isGet = words.size() == 3 && words[0] == "GET";
    const QString path = words.size() >= 2 ? QUrl(QString::fromLatin1(words[1])).path() : QString();
    if (isGet) {
        ++m_hits[path];
    }
    const int delayMs = isGet ? m_responses.value(path).delayMs : 0;
    if (delayMs > 0) {
        // The socket as context: a client that hangs up meanwhile cancels the answer.
        QTimer::singleShot(delayMs, socket, [this, socket, path] { Answer(socket, path, true); });
    } else {
        Answer(socket, path, isGet);
    }
}

void LoopbackHttpServer::Answer(QTcpSocket* socket, const QString& path, bool isGet) {
    Response response;
    if (!isGet) {
        response.status = 405;
        response.body = "only GET here\n";
    } else if (m_responses.contains(path)) {
        response = m_responses.value(path);
    } else {
        response.status = 404;
        response.body = "<html><body>Not Found</body></html>\n";
    }
    const qint64 length =
        response.claimedLength >= 0 ? response.claimedLength : response.body.size();
    QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' +
                     ReasonOf(response.status) + "\r\n";
    out += "Content-Type: application/octet-stream\r\n";
    out += "Content-Length: " + QByteArray::number(length) + "\r\n";
    out += "Connection: close\r\n\r\n";
    out += response.cutAfter >= 0 ? response.body.left(static_cast<int>(response.cutAfter))
                                  : response.body;
    socket->write(out);
    // Closes once everything written has gone out.
    socket->disconnectFromHost();
}

}  // namespace Varnex::Test
