#pragma once

// ServiceSite: the registration service tessaro-site run for a test, listening on 127.0.0.1 at a free
// port (or where serve's options say). Its root.pem is what a client trusts; users and trust anchors are
// added through its command line, as an administrator does. With TESSARO_KEEP set, serve's log stays
// in a temporary folder.

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class ServiceSite {
public:
    struct Options {
        QStringList init;                                // more options of init (--database URL, ...)
        QStringList serve = {"--listen", "127.0.0.1:0"}; // options of serve
        bool start = true;                               // serve at once
    };

    ServiceSite(); // a new folder: init, then serve
    // A site in folder: init makes it unless it holds one already; folder empty: a new temporary one.
    ServiceSite(const QString& folder, const Options& options);
    ~ServiceSite(); // stops the service (SIGTERM)
    ServiceSite(const ServiceSite&) = delete;
    ServiceSite& operator=(const ServiceSite&) = delete;

    bool isRunning() const { return m_process.state() == QProcess::Running && !m_origin.isEmpty(); }
    QString errorString() const { return m_error; }
    QString origin() const { return m_origin; } // https://127.0.0.1:<port>, http://..., or unix:PATH
    int port() const;                           // of the origin
    QString folder() const { return m_folder; }
    QString rootCertificatePath() const { return m_folder + QStringLiteral("/root.pem"); }
    QString log() const; // what serve wrote on standard error so far

    // Starts serve with Options::serve; waits for its "listening on" line. Started again, it listens
    // where it did the first time (an upstream of a proxy has a fixed port).
    bool start();
    int stop();  // SIGTERM, then waits: the exit status, -1 when it crashed or did not end
    void kill(); // SIGKILL

    bool addUser(const QString& name, const QString& password);
    bool trust(const QString& caPemPath);
    QList<QJsonObject> registrations(); // tessaro-site list: one JSON object a registration

    // The program, built beside the tests.
    static QString program();
    // Runs one command of the program; false (with errorString()) when it fails.
    bool run(const QStringList& arguments, const QByteArray& input = {}, QByteArray* output = nullptr);

private:
    QTemporaryDir m_dir;
    QTemporaryDir m_logs;
    QString m_folder;
    Options m_options;
    QProcess m_process;
    QString m_error;
    QString m_origin;
};
