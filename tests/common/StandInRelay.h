#pragma once

#include "wire/Identity.h"
#include "wire/Tls.h"

#include <QFile>
#include <QHash>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QtTest>

#include <poll.h>
#include <sys/socket.h>

// A relay that says what the test tells it, for what the real one never does: another
// protocol version, a replayed OPEN, a data connection cut or left unanswered, a grant
// refused or a link dropped at a chosen moment. Control links are TLS with a key pair of its
// own; data connections are plain and left to the test. Runs on the test's thread: a caller
// that blocks meanwhile (the library's C calls) goes through aside().
class StandInRelay : public QTcpServer
{
public:
    explicit StandInRelay(const QString &dir)
    {
        const QString keyPath = dir + "/standin.key", certPath = dir + "/standin.crt";
        std::string fp, error;
        if (wire::ensureKeyAndCertificate(keyPath.toStdString(), certPath.toStdString(), "stand-in", nullptr, &error)
            && wire::fileFingerprint(certPath.toStdString(), &fp, &error))
            fingerprint = QString::fromStdString(fp);
        QFile k(keyPath), c(certPath);
        if (k.open(QIODevice::ReadOnly) && c.open(QIODevice::ReadOnly)) {
            key = QSslKey(k.readAll(), QSsl::Ec);
            certificate = QSslCertificate(c.readAll());
        }
        listen(QHostAddress::LocalHost, 0);
    }

    // The answer to each control link's request (USER or PANEL); a refusal closes the link.
    QByteArray greeting = "OK";
    QString fingerprint;
    QSslKey key;
    QSslCertificate certificate;
    QList<QByteArray> hellos, requests; // every control link's first two lines
    QList<QSslSocket *> links;          // the latest last
    QList<QTcpSocket *> data;           // in the order they came

    // The latest control link's next line, PINGs and CHECKs (answered as allowed) left out;
    // empty when none came in time.
    QByteArray line(int timeoutMs = 5000)
    {
        QByteArray out;
        (void)QTest::qWaitFor([&] { return !links.isEmpty() && !(out = m_lines[links.last()].value(0)).isEmpty(); },
                              timeoutMs);
        if (!out.isEmpty())
            m_lines[links.last()].removeFirst();
        return out;
    }
    void send(const QByteArray &line) { links.last()->write(line + "\n"); }
    // A data connection's next line.
    static QByteArray lineOf(QTcpSocket *s, int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { return s->canReadLine(); }, timeoutMs) ? s->readLine().chopped(1) : QByteArray();
    }

protected:
    void incomingConnection(qintptr fd) override
    {
        // The first byte tells a control link (a TLS record) from a data connection; both
        // kinds of peer send at once.
        pollfd p {int(fd), POLLIN, 0};
        char first = 0;
        if (::poll(&p, 1, 2000) != 1 || ::recv(int(fd), &first, 1, MSG_PEEK) != 1 || first != 0x16) {
            data.append(new QTcpSocket(this));
            data.last()->setSocketDescriptor(fd);
            return;
        }
        auto *s = new QSslSocket(this);
        s->setSocketDescriptor(fd);
        s->setPrivateKey(key);
        s->setLocalCertificate(certificate);
        connect(s, &QSslSocket::readyRead, this, [this, s] {
            for (int n = m_count[s]; s->canReadLine(); ++n) {
                const QByteArray l = s->readLine().chopped(1);
                m_count[s] = n + 1;
                if (n == 0) {
                    hellos << l;
                } else if (n == 1) {
                    requests << l;
                    s->write(greeting + "\n");
                    if (greeting != "OK")
                        s->disconnectFromHost();
                } else if (l.startsWith("CHECK ")) {
                    s->write("CHECKED " + l.split(' ').value(1) + " OK\n");
                } else if (l != "PING") {
                    m_lines[s] << l;
                }
            }
        });
        s->startServerEncryption();
        links.append(s);
    }

private:
    QHash<QSslSocket *, int> m_count;
    QHash<QSslSocket *, QList<QByteArray>> m_lines;
};
