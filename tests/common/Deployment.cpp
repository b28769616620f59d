#include "common/Deployment.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <stdexcept>

#include <pwd.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const QString& why) {
    throw std::runtime_error(why.toStdString());
}

const QString kNginx = QStringLiteral("/usr/sbin/nginx");

int freePort() {
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost))
        fail(QStringLiteral("no free port on 127.0.0.1"));
    return server.serverPort();
}

} // namespace

NginxProxy::NginxProxy(const QString& dir, const QString& siteDir, int firstInstancePort,
                       int secondInstancePort)
    : m_dir(dir), m_port(freePort()) {
    if (!QFile::exists(kNginx))
        fail(QStringLiteral("nginx is not installed (scripts/deps.sh installs nginx-light)"));
    QFile shipped(QStringLiteral(TESSARO_SOURCE_DIR "/deploy/nginx/tessaro-site.conf"));
    if (!QDir().mkpath(dir) || !shipped.open(QIODevice::ReadOnly))
        fail(QStringLiteral("cannot read deploy/nginx/tessaro-site.conf"));
    QString conf = QString::fromUtf8(shipped.readAll());
    // What an administrator edits, and nothing else.
    const QList<QPair<QString, QString>> edits = {
        {"listen 443 ssl;", QStringLiteral("listen 127.0.0.1:%1 ssl;").arg(m_port)},
        {"listen [::]:443 ssl;", ""},
        {"server 127.0.0.1:8081 ", QStringLiteral("server 127.0.0.1:%1 ").arg(firstInstancePort)},
        {"server 127.0.0.1:8082 ", QStringLiteral("server 127.0.0.1:%1 ").arg(secondInstancePort)},
        {"/etc/ssl/certs/registration.example.org.pem", siteDir + "/tls-cert.pem"},
        {"/etc/ssl/private/registration.example.org.key", siteDir + "/tls-key.pem"},
        {"/var/log/nginx/", dir + "/"},
    };
    for (const auto& [from, to] : edits) {
        if (!conf.contains(from))
            fail(QStringLiteral("the shipped nginx configuration no longer holds \"%1\"").arg(from));
        conf.replace(from, to);
    }
    write(QStringLiteral("tessaro-site.conf"), conf);
    // As root the workers run as nobody, in folders of their own that they can reach.
    const bool root = geteuid() == 0;
    const passwd* nobody = getpwnam("nobody");
    for (const char* sub : {"body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
        const QString path = dir + "/" + sub;
        if (!QDir().mkpath(path) ||
            (root && (!nobody || chown(qPrintable(path), nobody->pw_uid, nobody->pw_gid) != 0)))
            fail(QStringLiteral("cannot make nginx's folder ") + path);
    }
    write(QStringLiteral("nginx.conf"),
          QStringLiteral("%1worker_processes 2;\npid %2/nginx.pid;\nerror_log %2/error.log notice;\n"
                         "events { worker_connections 1024; }\n"
                         "http {\n  access_log off;\n  client_body_temp_path %2/body;\n"
                         "  proxy_temp_path %2/proxy;\n  fastcgi_temp_path %2/fastcgi;\n"
                         "  uwsgi_temp_path %2/uwsgi;\n  scgi_temp_path %2/scgi;\n"
                         "  include %2/tessaro-site.conf;\n}\n")
              .arg(root ? "user nobody nogroup;\n" : "", dir));
    const QStringList args{"-p", dir, "-e", dir + "/error.log", "-c", dir + "/nginx.conf"};
    if (QProcess::execute(kNginx, QStringList{"-t", "-q"} + args) != 0)
        fail(QStringLiteral("nginx refuses the configuration in ") + dir);
    m_process.setStandardOutputFile(dir + QStringLiteral("/nginx.out"));
    m_process.setStandardErrorFile(dir + QStringLiteral("/nginx.out"), QIODevice::Append);
    m_process.start(kNginx, args + QStringList{"-g", "daemon off;"});
    if (!m_process.waitForStarted())
        fail(QStringLiteral("nginx did not start"));
}

NginxProxy::~NginxProxy() {
    m_process.terminate();
    if (!m_process.waitForFinished(10000))
        m_process.kill();
    m_process.waitForFinished();
}

void NginxProxy::write(const QString& name, const QString& text) {
    QFile f(m_dir + "/" + name);
    if (!f.open(QIODevice::WriteOnly) || f.write(text.toUtf8()) < 0)
        fail(QStringLiteral("cannot write ") + f.fileName());
}
