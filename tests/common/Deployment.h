#pragma once

// The organisation's deployment on this machine, for tests and benchmarks: a throwaway PostgreSQL
// cluster (tests/common/pg-cluster.sh), tessaro-site instances over plain HTTP on 127.0.0.1, and
// nginx from Debian's package running the shipped deploy/nginx/tessaro-site.conf with only its
// addresses, ports and paths replaced. Failures throw std::runtime_error.
//
//   Postgres pg(dir + "/pg");                          // started; stopped at the end
//   run(program, {"init", site, "--database", pg.CreateDatabase("site")});
//   SiteInstance a(site, log); a.Start();              // --plain-http, nginx trusted
//   NginxProxy proxy(dir + "/nginx", site, a.port(), b.port());
//   proxy.port()                                       // https://127.0.0.1:<port>, site's TLS certificate

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace deployment {

// Runs a program to its end; its standard output. Throws when it fails.
QByteArray run(const QString& program, const QStringList& args, const QByteArray& input = {});
int freePort(); // on 127.0.0.1

class Postgres {
public:
    explicit Postgres(const QString& dir); // dir must not exist yet; keep it short
    ~Postgres();
    Postgres(const Postgres&) = delete;
    Postgres& operator=(const Postgres&) = delete;
    // A new database; its postgresql:// URL over TCP. The password is in PGPASSWORD from now on.
    QString CreateDatabase(const QString& name);
    void Restart(const QString& mode); // "fast" or "immediate" (as if it crashed)

private:
    QString m_dir, m_host, m_port;
};

class SiteInstance {
public:
    SiteInstance(const QString& siteDir, const QString& logFile) : m_site(siteDir), m_log(logFile) {}
    ~SiteInstance() { Stop(15); }
    SiteInstance(const SiteInstance&) = delete;
    SiteInstance& operator=(const SiteInstance&) = delete;
    // Serves on 127.0.0.1 over plain HTTP, trusting X-Real-IP from 127.0.0.1; after the first
    // start, again on the same port.
    void Start();
    void Stop(int signal); // and waits for the end
    int port() const { return m_port; }

private:
    QString m_site, m_log;
    QProcess m_process;
    int m_port = 0;
};

class NginxProxy {
public:
    NginxProxy(const QString& dir, const QString& siteDir, int firstInstancePort, int secondInstancePort);
    ~NginxProxy();
    NginxProxy(const NginxProxy&) = delete;
    NginxProxy& operator=(const NginxProxy&) = delete;
    int port() const { return m_port; }
    static QString program();

private:
    void write(const QString& name, const QString& text);
    QString m_dir;
    QProcess m_process;
    int m_port = 0;
};

} // namespace deployment
