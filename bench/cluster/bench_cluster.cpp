// The organisation's deployment under load, on this machine: 32 concurrent keep-alive HTTPS
// clients register by each method through nginx (the shipped configuration) in front of two
// tessaro-site instances on one PostgreSQL database, beside one instance on SQLite reached
// directly over HTTPS, and beside the unavoidable work measured in the same run (argon2id on
// every core; the certificate check, time stamp and durable insert in process). Prints
// registrations per second, p50/p99 latency and the ratios. Bounded in requests.

#include "SiteLoad.h"
#include "common/Deployment.h"
#include "common/PgCluster.h"
#include "common/ServiceSite.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>

namespace {

const QString kUser = QStringLiteral("bench");
const QString kPassword = QStringLiteral("bench password");
constexpr int kPasswordEach = 4, kCertificateEach = 12; // requests per client

struct Figures {
    siteload::Result password, certificate;
};

// A new site folder with the benchmark's user; extra arguments go to init.
void makeSite(const QString& dir, const QStringList& initArguments) {
    ServiceSite site(dir, {initArguments, {}, false});
    if (!site.addUser(kUser, kPassword))
        throw std::runtime_error(site.errorString().toStdString());
}

Figures load(int port, const QString& siteDir, const CertificateWork& work) {
    return {siteload::PasswordLoad(port, siteDir, kUser, kPassword, kPasswordEach),
            siteload::CertificateLoad(port, siteDir, work, kCertificateEach)};
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir tmp(QDir::tempPath() + QStringLiteral("/tsbench-XXXXXX"));
    tmp.setAutoRemove(qEnvironmentVariableIsEmpty("TESSARO_KEEP"));
    const QString dir = tmp.path();
    // PostgreSQL and nginx's workers run as nobody when this runs as root: they pass through.
    QFile::setPermissions(dir, QFile::permissions(dir) | QFile::ExeGroup | QFile::ExeOther);
    try {
        // One instance on SQLite, over HTTPS, and the baselines.
        const QString single = dir + QStringLiteral("/single");
        makeSite(single, {});
        const CertificateWork singleWork(single); // trusts its CA before the service starts
        const siteload::Baselines baselines = siteload::MeasureBaselines(singleWork);
        Figures direct;
        {
            QProcess serve;
            serve.setStandardErrorFile(dir + QStringLiteral("/single.log"));
            serve.start(ServiceSite::program(), {"serve", single, "--listen", "127.0.0.1:0"});
            serve.waitForReadyRead(30000);
            const int port =
                QString::fromUtf8(serve.readLine()).trimmed().section(QLatin1Char(':'), -1).toInt();
            direct = load(port, single, singleWork);
            serve.terminate();
            serve.waitForFinished(30000);
        }

        // Two instances on PostgreSQL behind nginx.
        PgCluster pg;
        const QString shared = dir + QStringLiteral("/shared");
        makeSite(shared, {"--database", pg.createDatabase()});
        const CertificateWork sharedWork(shared);
        const ServiceSite::Options behindProxy{
            {}, {"--listen", "127.0.0.1:0", "--plain-http", "--trusted-proxy", "127.0.0.1"}};
        ServiceSite first(shared, behindProxy), second(shared, behindProxy);
        if (!first.isRunning() || !second.isRunning())
            throw std::runtime_error("an instance did not start");
        NginxProxy proxy(dir + QStringLiteral("/nginx"), shared, first.port(), second.port());
        QThread::msleep(500); // nginx binds its port
        const Figures cluster = load(proxy.port(), shared, sharedWork);

        const double hashes = baselines.hashes.perSecond, certWork = baselines.certificateWork.perSecond;
        std::printf(
            "%d cores; %d keep-alive HTTPS clients per method, on the same machine as everything else\n",
            QThread::idealThreadCount(), siteload::kClients);
        std::printf("%-36s %8.1f /s\n", "baseline (a) argon2id", hashes);
        std::printf("%-36s %8.1f /s\n", "baseline (b) check+stamp+insert", certWork);
        siteload::Print("password, 1 instance, SQLite", direct.password, hashes);
        siteload::Print("password, nginx + 2, PostgreSQL", cluster.password, hashes);
        siteload::Print("certificate, 1 instance, SQLite", direct.certificate, certWork);
        siteload::Print("certificate, nginx + 2, PostgreSQL", cluster.certificate, certWork);
        std::printf("nginx + 2 on PostgreSQL against 1 on SQLite: password %.2fx, certificate %.2fx\n",
                    cluster.password.perSecond / direct.password.perSecond,
                    cluster.certificate.perSecond / direct.certificate.perSecond);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_cluster: %s\n", e.what());
        return 1;
    }
    return 0;
}
