#include "SiteLoad.h"

#include "protocol/TSSiteExchange.h"
#include "sitedb/Accounts.h"
#include "sitedb/SiteDatabase.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>
#include <algorithm>
#include <argon2.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include <httplib.h>

namespace siteload {

namespace {

using Clock = std::chrono::steady_clock;
std::atomic<int> gNext{0};

QString nextFingerprint() {
    return QString::fromLatin1(
        QCryptographicHash::hash(QByteArray::number(++gNext), QCryptographicHash::Sha1).toHex().toUpper());
}

std::string encode(const QString& text) {
    return QUrl::toPercentEncoding(text).toStdString();
}

std::shared_ptr<httplib::SSLClient> client(int port, const QString& dir) {
    auto c = std::make_shared<httplib::SSLClient>("127.0.0.1", port);
    c->set_ca_cert_path((dir + QStringLiteral("/root.pem")).toStdString().c_str());
    c->enable_server_certificate_verification(true);
    c->set_keep_alive(true);
    c->set_read_timeout(120);
    return c;
}

bool accepted(const httplib::Result& r) {
    if (r && r->status == 200 && r->body.find("rror:") == std::string::npos)
        return true;
    // The first refusal of a run says why, for the figures' reader.
    static std::atomic<bool> told{false};
    if (!told.exchange(true)) {
        const size_t code = r ? r->body.find("rror:") : std::string::npos;
        std::fprintf(stderr, "first refusal: %s\n",
                     !r                          ? httplib::to_string(r.error()).c_str()
                     : code != std::string::npos ? r->body.substr(code - 1, 40).c_str()
                                                 : ("status " + std::to_string(r->status)).c_str());
    }
    return false;
}

} // namespace

Result Run(int threads, int each, const std::function<std::function<bool()>()>& makeWorker) {
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

Baselines MeasureBaselines(const CertificateWork& work) {
    const int cores = QThread::idealThreadCount();
    Baselines b;
    char encoded[256];
    const PasswordHashCost cost;
    const unsigned char salt[16] = {1};
    argon2id_hash_encoded(cost.passes, cost.memoryKiB, 1, "pw", 2, salt, sizeof salt, 32, encoded,
                          sizeof encoded);
    b.hashes = Run(cores, 8, [&] { return [&] { return argon2id_verify(encoded, "pw", 2) == ARGON2_OK; }; });

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
    b.certificateWork = Run(cores, kEach, [&] {
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
    return b;
}

Result PasswordLoad(int port, const QString& siteDir, const QString& user, const QString& password,
                    int each) {
    return Run(kClients, each, [&] {
        auto c = client(port, siteDir);
        const std::string credentials = "&user=" + encode(user) + "&pwd=" + encode(password);
        return [c, credentials] {
            const std::string body =
                "filename=report.pdf&filehash=" + encode(nextFingerprint()) + credentials;
            return accepted(
                c->Post(TSSiteExchange::Path::Password, body, "application/x-www-form-urlencoded"));
        };
    });
}

Result CertificateLoad(int port, const QString& siteDir, const CertificateWork& work, int each) {
    return Run(kClients, each, [&] {
        auto c = client(port, siteDir);
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
}

void Print(const char* what, const Result& r, double baseline) {
    std::printf("%-36s %8.1f /s   p50 %7.1f ms   p99 %7.1f ms   %.2fx of baseline%s\n", what, r.perSecond,
                r.p50ms, r.p99ms, r.perSecond / baseline, r.failures ? "   (some refused!)" : "");
}

} // namespace siteload
