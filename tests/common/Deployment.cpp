#include "common/Deployment.h"

#include "common/ServiceSite.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <stdexcept>

#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace deployment {

namespace {

[[noreturn]] void fail(const QString& why) {
    throw std::runtime_error(why.toStdString());
}

QString source(const QString& path) {
    return QStringLiteral(TESSARO_SOURCE_DIR "/") + path;
}

QString pgScript() {
    return source(QStringLiteral("tests/common/pg-cluster.sh"));
}

} // namespace

QByteArray run(const QString& program, const QStringList& args, const QByteArray& input) {
    QProcess p;
    p.start(program, args);
    p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        fail(QStringLiteral("%1 %2: %3 %4")
                 .arg(program, args.join(QLatin1Char(' ')), p.errorString(),
                      QString::fromLocal8Bit(p.readAllStandardError())));
    return p.readAllStandardOutput();
}

int freePort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    const bool ok = s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&a), size) == 0 &&
                    getsockname(s, reinterpret_cast<sockaddr*>(&a), &size) == 0;
    if (s >= 0)
        close(s);
    if (!ok)
        fail(QStringLiteral("no free port on 127.0.0.1"));
    return ntohs(a.sin_port);
}

Postgres::Postgres(const QString& dir) : m_dir(dir) {
    QString password;
    for (const QByteArray& line : run(pgScript(), {QStringLiteral("start"), dir}).split('\n')) {
        const QString text = QString::fromUtf8(line);
        const QString value = text.section(QLatin1Char('='), 1);
        if (text.startsWith(QLatin1String("PGHOST=")))
            m_host = value;
        else if (text.startsWith(QLatin1String("PGPORT=")))
            m_port = value;
        else if (text.startsWith(QLatin1String("TESSARO_PG_PASSWORD=")))
            password = value;
    }
    qputenv("PGPASSWORD", password.toUtf8());
}

Postgres::~Postgres() {
    QProcess::execute(pgScript(), {QStringLiteral("stop"), m_dir});
}

QString Postgres::CreateDatabase(const QString& name) {
    run(QStringLiteral("psql"), {"-h", m_host, "-p", m_port, "-U", "tessaro", "-d", "postgres", "-q", "-c",
                                 QStringLiteral("CREATE DATABASE %1").arg(name)});
    return QStringLiteral("postgresql://tessaro@127.0.0.1:%1/%2").arg(m_port, name);
}

void Postgres::Restart(const QString& mode) {
    run(pgScript(), {QStringLiteral("restart"), m_dir, mode});
}

void SiteInstance::Start() {
    m_process.setStandardErrorFile(m_log, QIODevice::Append);
    m_process.start(ServiceSite::program(),
                    {"serve", m_site, "--listen", QStringLiteral("127.0.0.1:%1").arg(m_port), "--plain-http",
                     "--trusted-proxy", "127.0.0.1"});
    QByteArray line;
    const QDeadlineTimer deadline(60000);
    while (!line.contains('\n') && !deadline.hasExpired() && m_process.state() != QProcess::NotRunning)
        if (m_process.waitForReadyRead(200))
            line += m_process.readAllStandardOutput();
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("^listening on http://127\\.0\\.0\\.1:(\\d+)\n")).match(line);
    if (!m.hasMatch())
        fail(QStringLiteral("an instance did not start (its log: %1): %2")
                 .arg(m_log, QString::fromUtf8(line)));
    m_port = m.captured(1).toInt();
}

void SiteInstance::Stop(int signal) {
    if (m_process.state() == QProcess::NotRunning)
        return;
    ::kill(static_cast<pid_t>(m_process.processId()), signal);
    if (!m_process.waitForFinished(30000))
        m_process.kill();
    m_process.waitForFinished();
}

QString NginxProxy::program() {
    return QStringLiteral("/usr/sbin/nginx");
}

NginxProxy::NginxProxy(const QString& dir, const QString& siteDir, int firstInstancePort,
                       int secondInstancePort)
    : m_dir(dir), m_port(freePort()) {
    if (!QFile::exists(program()))
        fail(QStringLiteral("nginx is not installed (scripts/deps.sh installs nginx-light)"));
    QFile shipped(source(QStringLiteral("deploy/nginx/tessaro-site.conf")));
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
    run(program(), QStringList{"-t", "-q"} + args);
    m_process.setStandardOutputFile(dir + QStringLiteral("/nginx.out"));
    m_process.setStandardErrorFile(dir + QStringLiteral("/nginx.out"), QIODevice::Append);
    m_process.start(program(), args + QStringList{"-g", "daemon off;"});
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

} // namespace deployment
