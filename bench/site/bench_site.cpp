// The service under load: 32 concurrent keep-alive HTTPS clients register documents by each
// method against tessaro-site on 127.0.0.1, beside the work the service cannot avoid, measured in
// the same run on this machine:
//   password method:    argon2id verifications at the service's cost, on every core;
//   certificate method: the post's CMS check, the time stamp and one durable insert, in process,
//                       on every core.
// Prints registrations per second, p50/p99 latency, each rate as a ratio of its baseline, and the
// service's peak memory. Bounded in requests; the clients share the machine with the service.

#include "SiteLoad.h"
#include "sitedb/Accounts.h"
#include "sitedb/SiteDatabase.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir tmp;
    const QString dir = tmp.filePath(QStringLiteral("site"));
    QProcess init;
    init.start(QStringLiteral(TESSARO_SITE_PROGRAM), {"init", dir});
    init.waitForFinished();
    {
        SiteDatabase db(dir);
        Accounts(db).Add(QStringLiteral("bench"), QStringLiteral("bench password"));
    }
    const CertificateWork work(dir); // trusts its CA in the site before the service starts
    const siteload::Baselines baselines = siteload::MeasureBaselines(work);

    QProcess serve;
    serve.setStandardErrorFile(QProcess::nullDevice()); // its log, unread, would fill a pipe and stall it
    serve.start(QStringLiteral(TESSARO_SITE_PROGRAM), {"serve", dir, "--listen", "127.0.0.1:0"});
    serve.waitForReadyRead(30000);
    const int port = QString::fromUtf8(serve.readLine()).trimmed().section(QLatin1Char(':'), -1).toInt();
    const siteload::Result password =
        siteload::PasswordLoad(port, dir, QStringLiteral("bench"), QStringLiteral("bench password"), 4);
    const siteload::Result certificate = siteload::CertificateLoad(port, dir, work, 12);

    QFile status(QStringLiteral("/proc/%1/status").arg(serve.processId()));
    QByteArray peak = "unknown";
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmHWM:"))
                peak = line.mid(6).trimmed();
    serve.terminate();
    serve.waitForFinished(30000);

    std::printf("%d cores; %d keep-alive HTTPS clients per method (clients on the same machine)\n",
                QThread::idealThreadCount(), siteload::kClients);
    std::printf("%-36s %8.1f /s\n", "baseline (a) argon2id", baselines.hashes.perSecond);
    std::printf("%-36s %8.1f /s\n", "baseline (b) check+stamp+insert", baselines.certificateWork.perSecond);
    siteload::Print("password registrations", password, baselines.hashes.perSecond);
    siteload::Print("certificate registrations", certificate, baselines.certificateWork.perSecond);
    std::printf("service peak memory (VmHWM) %s; service exit status %d\n", peak.constData(),
                serve.exitCode());
    return 0;
}
