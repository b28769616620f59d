#pragma once

// ServiceSite: the registration service tessaro-site run for a test, in a new site folder, listening
// on 127.0.0.1 at a free port. Its root.pem is what a client trusts; users and trust anchors are
// added through its command line, as an administrator does.
//
//   ServiceSite site;                        // init, then serve; waits for its "listening on" line
//   QVERIFY2(site.isRunning(), qPrintable(site.errorString()));
//   QVERIFY(site.addUser("alice", "secret"));
//   QVERIFY(site.trust(caPemPath));
//   site.registrations()                     // tessaro-site list, one JSON object a registration

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class ServiceSite {
public:
    ServiceSite();
    ~ServiceSite(); // stops the service (SIGTERM)
    ServiceSite(const ServiceSite&) = delete;
    ServiceSite& operator=(const ServiceSite&) = delete;

    bool isRunning() const { return m_process.state() == QProcess::Running && !m_origin.isEmpty(); }
    QString errorString() const { return m_error; }
    QString origin() const { return m_origin; } // https://127.0.0.1:<port>
    QString folder() const { return m_dir.path(); }
    QString rootCertificatePath() const { return m_dir.filePath(QStringLiteral("root.pem")); }

    bool addUser(const QString& name, const QString& password);
    bool trust(const QString& caPemPath);
    QList<QJsonObject> registrations();

    // The program, built beside the tests.
    static QString program();
    // Runs one command of the program; false (with errorString()) when it fails.
    bool run(const QStringList& arguments, const QByteArray& input = {}, QByteArray* output = nullptr);

private:
    QTemporaryDir m_dir;
    QTemporaryDir m_logs;
    QProcess m_process;
    QString m_error;
    QString m_origin;
};
