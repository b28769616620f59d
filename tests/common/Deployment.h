#pragma once

// nginx from Debian's package running the shipped deploy/nginx/tessaro-site.conf on this machine, with
// only its addresses, ports and paths replaced, in front of two tessaro-site instances (ServiceSite
// with --plain-http on 127.0.0.1, trusting 127.0.0.1 as proxy) on a PostgreSQL database (PgCluster).
// Failures throw std::runtime_error.

#include <QProcess>
#include <QString>

class NginxProxy {
public:
    NginxProxy(const QString& dir, const QString& siteDir, int firstInstancePort, int secondInstancePort);
    ~NginxProxy();
    NginxProxy(const NginxProxy&) = delete;
    NginxProxy& operator=(const NginxProxy&) = delete;
    int port() const { return m_port; } // https://127.0.0.1:<port>, with the site's TLS certificate

private:
    void write(const QString& name, const QString& text);
    QString m_dir;
    QProcess m_process;
    int m_port = 0;
};
