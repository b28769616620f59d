// The service under load: 32 concurrent keep-alive HTTPS clients register documents by each
// method against tessaro-site on 127.0.0.1, beside the work the service cannot avoid, measured in
// the same run on this machine:
//   password method:    argon2id verifications at the service's cost, on every core;
//   certificate method: the post's CMS check, the time stamp and one durable insert, in process,
//                       on every core.
// Prints registrations per second, p50/p99 latency, each rate as a ratio of its baseline, and the
// service's peak memory. Bounded in requests; the clients share the machine with the service.

#include "CertificateWork.h"
#include "protocol/TSSiteExchange.h"
#include "sitedb/Accounts.h"
#include "sitedb/SiteDatabase.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>
#include <algorithm>
#include <argon2.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include <httplib.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kClients = 32;
std::atomic<int> gNext{0};

QString nextFingerprint() {
    return QString::fromLatin1(
        QCryptographicHash::hash(QByteArray::number(++gNext), QCryptographicHash::Sha1).toHex().toUpper());
}

std::string encode(const QString& text) {
    return QUrl::toPercentEncoding(text).toStdString();
}

struct Result {
    double perSecond = 0;
    double p50ms = 0, p99ms = 0;
    int failures = 0;
};

// Runs `threads` workers doing `each` operations; an operation returns whether it succeeded.
Result run(int threads, int each, const std::function<std::function<bool()>()>& makeWorker) {
    std::vector<std::vector<double>> latencies(static_cast<size_t>(threads));
    std::atomic<int> failures{0};
    std::vector<std::thread> pool;
    std::vector<std::function<bool()>> workers;
    for (int t = 0; t < threads; ++t)
        workers.push_back(makeWorker());
    const Clock::time_point start = Clock::now();
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            for (int i = 0; i < each; ++i) {
                const Clock::time_point begin = Clock::now();
                if (!workers[static_cast<size_t>(t)]())
                    ++failures;
                latencies[static_cast<size_t>(t)].push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
            }
        });
    for (std::thread& t : pool)
        t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<double> all;
    for (const auto& l : latencies)
        all.insert(all.end(), l.begin(), l.end());
    std::sort(all.begin(), all.end());
    Result r;
    r.failures = failures;
    r.perSecond = (static_cast<double>(all.size()) - failures) / seconds;
    r.p50ms = all[all.size() / 2];
    r.p99ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    return r;
}

std::unique_ptr<httplib::SSLClient> client(int port, const QString& dir) {
    auto c = std::make_unique<httplib::SSLClient>("127.0.0.1", port);
    c->set_ca_cert_path((dir + QStringLiteral("/root.pem")).toStdString().c_str());
    c->enable_server_certificate_verification(true);
    c->set_keep_alive(true);
    c->set_read_timeout(120);
    return c;
}

bool accepted(const httplib::Result& r) {
    return r && r->status == 200 && r->body.find("rror:") == std::string::npos;
}

void print(const char* what, const Result& r, double baseline) {
    std::printf("%-28s %8.1f /s   p50 %7.1f ms   p99 %7.1f ms   %.2fx of baseline%s\n", what, r.perSecond,
                r.p50ms, r.p99ms, r.perSecond / baseline, r.failures ? "   (some refused!)" : "");
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int cores = QThread::idealThreadCount();
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

    // Baselines.
    char encoded[256];
    const PasswordHashCost cost;
    const unsigned char salt[16] = {1};
    argon2id_hash_encoded(cost.passes, cost.memoryKiB, 1, "pw", 2, salt, sizeof salt, 32, encoded,
                          sizeof encoded);
    const Result hashes =
        run(cores, 8, [&] { return [&] { return argon2id_verify(encoded, "pw", 2) == ARGON2_OK; }; });
    QTemporaryDir inProcess;
    SiteDatabase::Create(inProcess.path());
    const QString inProcessDir = inProcess.path();
    // The client's signing is not the site's work: the posts are made before the clock starts.
    constexpr int kEach = 40;
    std::vector<std::pair<QString, QString>> posts; // fingerprint, tessaro field
    for (int i = 0; i < cores * kEach; ++i) {
        const QString fp = nextFingerprint();
        posts.emplace_back(fp, work.Post(fp, QStringLiteral("report.pdf")));
    }
    std::atomic<size_t> nextPost{0};
    const Result certWork = run(cores, kEach, [&] {
        return [&work, &posts, &nextPost, inProcessDir] {
            thread_local SiteDatabase* db = new SiteDatabase(inProcessDir); // one connection per thread, kept
            const auto& [fp, post] = posts[nextPost++];
            Registration r{0,
                           fp,
                           "report.pdf",
                           "Benchmark Signer",
                           "certificate",
                           QDateTime::currentDateTimeUtc(),
                           work.Run(post, QStringLiteral("report.pdf"))};
            return !r.token.isEmpty() && db->InsertRegistration(r) == SiteDatabase::Insert::Inserted;
        };
    });

    // The service.
    QProcess serve;
    serve.start(QStringLiteral(TESSARO_SITE_PROGRAM), {"serve", dir, "--listen", "127.0.0.1:0"});
    serve.waitForReadyRead(30000);
    const int port = QString::fromUtf8(serve.readLine()).trimmed().section(QLatin1Char(':'), -1).toInt();

    const Result password = run(kClients, 4, [&] {
        auto c = std::shared_ptr<httplib::SSLClient>(client(port, dir));
        return [c] {
            const std::string body = "filename=report.pdf&filehash=" + encode(nextFingerprint()) +
                                     "&user=bench&pwd=bench+password";
            return accepted(
                c->Post(TSSiteExchange::Path::Password, body, "application/x-www-form-urlencoded"));
        };
    });
    const Result certificate = run(kClients, 12, [&] {
        auto c = std::shared_ptr<httplib::SSLClient>(client(port, dir));
        const httplib::Result login = c->Get(TSSiteExchange::Path::CertificateFirst);
        std::string cookie = login ? login->get_header_value("Set-Cookie") : std::string();
        cookie = cookie.substr(0, cookie.find(';'));
        return [c, cookie, &work] {
            const QString fp = nextFingerprint();
            const std::string body =
                "tessaro=" + encode(work.Post(fp, QStringLiteral("report.pdf"))) + "&filename=report.pdf";
            return accepted(c->Post(TSSiteExchange::Path::CertificatePost, {{"Cookie", cookie}}, body,
                                    "application/x-www-form-urlencoded"));
        };
    });

    QFile status(QStringLiteral("/proc/%1/status").arg(serve.processId()));
    QByteArray peak = "unknown";
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmHWM:"))
                peak = line.mid(6).trimmed();
    serve.terminate();
    serve.waitForFinished(30000);

    std::printf("%d cores; %d keep-alive HTTPS clients per method (clients on the same machine)\n", cores,
                kClients);
    std::printf("%-28s %8.1f /s\n", "baseline (a) argon2id", hashes.perSecond);
    std::printf("%-28s %8.1f /s\n", "baseline (b) check+stamp+insert", certWork.perSecond);
    print("password registrations", password, hashes.perSecond);
    print("certificate registrations", certificate, certWork.perSecond);
    std::printf("service peak memory (VmHWM) %s; service exit status %d\n", peak.constData(),
                serve.exitCode());
    return 0;
}
