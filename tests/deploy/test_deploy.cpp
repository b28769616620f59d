// The organisation's deployment under faults, on 127.0.0.1 only: a throwaway PostgreSQL 15
// cluster, two tessaro-site instances on one site folder behind nginx running the shipped
// deploy/nginx/tessaro-site.conf (only its addresses, ports and paths replaced), and a bounded
// load of registrations by both methods as the client posts them. In the middle of the load one
// instance is killed with SIGKILL and started again, and PostgreSQL is restarted as if it
// crashed. Afterwards every acknowledged registration must be in the database once and verify
// through the verify page; a request may fail only while a part is down, and then only with a
// site error code or 503, never with a false acceptance. Prints its figures.

#include "common/Deployment.h"
#include "common/PgCluster.h"
#include "common/ServiceSite.h"
#include "common/ServiceSiteClient.h"
#include "common/TestPki.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

namespace Path = TSSiteExchange::Path;
using namespace TSSiteExchange;

constexpr int kRequests = 600; // registrations posted, every tenth a repeat of an earlier fingerprint
constexpr int kClients = 8;    // concurrent keep-alive HTTPS clients
constexpr int kLoadSeconds = 150;
// One member registers by both methods: the account is named as the certificate's subject, so
// the verify page finds both kinds of registration under it.
const QString kMember = QStringLiteral("CN=Fault Test Member,O=Tessaro Test");
const QString kPassword = QStringLiteral("member password");

const auto gStart = std::chrono::steady_clock::now();
double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - gStart).count();
}

void check(bool ok, const QString& what) {
    if (!ok)
        throw std::runtime_error(what.toStdString());
}

// Runs work on kClients threads at once, each with its own client of port.
void onClients(int port, const QString& site, const std::function<void(httplib::SSLClient&)>& work) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kClients; ++t)
        threads.emplace_back([&] { work(*sitehttp::Client(port, site + QStringLiteral("/root.pem"))); });
    for (std::thread& t : threads)
        t.join();
}

struct Outcome {
    bool sent = false, shared = false, password = false, accepted = false; // shared: posted twice
    QString fingerprint, code, record; // code: a refusal's site code; record: an accepted password's
    double start = 0, end = 0;
    int status = 0; // 0: no HTTP answer
};

struct Window { // a fault, from its start until the part serves again, and the requests it failed
    QString what;
    double begin = 0, end = 0;
    int failed = 0;
    std::map<QString, int> kinds;
};

// The deployment, the load with its faults, the checks; whether all held.
bool test(const QString& dir) {
    PgCluster pg;
    check(pg.isRunning(), pg.errorString());
    const QString site = dir + QStringLiteral("/site");
    const QStringList serve{"--listen", "127.0.0.1:0", "--plain-http", "--trusted-proxy", "127.0.0.1"};
    ServiceSite first(site, {{"--database", pg.createDatabase()}, serve, false});
    const testpki::Identity ca = testpki::issue(
        {QStringLiteral("Fault Test CA"), true, QStringLiteral("critical,keyCertSign,cRLSign")});
    const testpki::Identity member = testpki::issue({QStringLiteral("Fault Test Member")}, &ca);
    QFile caFile(dir + QStringLiteral("/ca.pem"));
    check(caFile.open(QIODevice::WriteOnly) && caFile.write(ca.certPem()) > 0,
          QStringLiteral("cannot write the CA"));
    caFile.close();
    check(first.addUser(kMember, kPassword) && first.trust(caFile.fileName()) && first.start(),
          first.errorString());
    ServiceSite second(site, {{}, serve});
    check(second.isRunning(), second.errorString());
    NginxProxy proxy(dir + QStringLiteral("/nginx"), site, first.port(), second.port());
    const auto waitHealthy = [&] {
        auto c = sitehttp::Client(proxy.port(), first.rootCertificatePath());
        // nginx's choice alternates between the two instances: two answers in a row.
        const QDeadlineTimer deadline(60000);
        for (int ok = 0; ok < 2; ok = sitehttp::Get(*c, "/health").status == 200 ? ok + 1 : 0) {
            check(!deadline.hasExpired(), QStringLiteral("/health through nginx does not answer 200"));
            QThread::msleep(ok ? 0 : 50);
        }
    };
    waitHealthy();

    // The load, and the faults, each at a point of it.
    std::vector<Outcome> outcomes(kRequests);
    std::atomic<int> next{0}, done{0};
    const QDeadlineTimer loadDeadline(kLoadSeconds * 1000);
    const double loadStart = now();
    std::thread load([&] {
        onClients(proxy.port(), site, [&](httplib::SSLClient& c) {
            static const QRegularExpression codePattern(QStringLiteral("error:[a-z-]+"),
                                                        QRegularExpression::CaseInsensitiveOption);
            std::string cookie;
            for (int i; (i = next++) < kRequests && !loadDeadline.hasExpired(); ++done) {
                Outcome& o = outcomes[static_cast<size_t>(i)];
                const bool repeat = i % 10 == 9;
                o.shared = repeat || (i % 10 == 0 && i + 9 < kRequests);
                o.password = i % 4 == 0;
                o.fingerprint = sitehttp::Fingerprint(repeat ? i - 9 : i);
                const QString name = QStringLiteral("document %1.pdf").arg(i);
                if (!o.password && cookie.empty())
                    cookie = sitehttp::Get(c, Path::CertificateFirst).cookie;
                const FormFields fields =
                    o.password
                        ? PasswordRegistrationFields(name, o.fingerprint, kMember, kPassword)
                        : CertificateRegistrationFields(
                              QString::fromLatin1(testpki::signPost(member, {testpki::utf16le(o.fingerprint),
                                                                             QDateTime::currentDateTimeUtc(),
                                                                             name,
                                                                             {}})
                                                      .toBase64()),
                              name);
                o.sent = true;
                o.start = now();
                const sitehttp::Reply r =
                    sitehttp::Post(c, o.password ? Path::Password : Path::CertificatePost,
                                   sitehttp::Form(fields), o.password ? "" : cookie);
                o.end = now();
                o.status = r.status;
                o.code = codePattern.match(r.body).captured(0);
                if (o.code == QLatin1String("error:no-session"))
                    cookie.clear();
                const std::optional<QString> record = TakeSiteSignature(r.body);
                o.accepted = r.status == 200 && ClassifyReply(r.body) == Reply::Accepted &&
                             (!o.password || IsUsableSignature(record));
                if (o.accepted && o.password)
                    o.record = *record;
                // A member told that the site cannot register now tries again a little later.
                if (!o.accepted && o.code != QLatin1String("error:dberror-update"))
                    QThread::msleep(500);
            }
        });
    });
    std::vector<Window> windows;
    const auto fault = [&](int at, const QString& what, const std::function<bool()>& act) {
        while (done < at && next < kRequests && !loadDeadline.hasExpired())
            QThread::msleep(20);
        windows.push_back({what, now(), 0, 0, {}});
        check(act(), what + QStringLiteral(": failed"));
        waitHealthy();
        windows.back().end = now();
    };
    try {
        fault(kRequests / 4, QStringLiteral("instance killed (SIGKILL), started again"), [&] {
            first.kill();
            QThread::msleep(1500);
            return first.start();
        });
        fault(kRequests / 2, QStringLiteral("PostgreSQL restarted (immediate stop)"),
              [&] { return pg.control(QStringLiteral("restart"), QStringLiteral("immediate")); });
    } catch (...) {
        load.join();
        throw;
    }
    load.join();
    const double loadEnd = now();

    // What the database holds, and what the verify page says of each acknowledged registration.
    std::map<QString, QList<QJsonObject>> stored;
    for (const QJsonObject& row : first.registrations())
        stored[row.value("fingerprint").toString()].append(row);
    std::map<QString, int> acknowledged;
    int sent = 0, accepted = 0, repeatsRefused = 0, unknownButStored = 0, lost = 0, outside = 0,
        badFailures = 0, refusedButStored = 0, after = 0;
    std::vector<const Outcome*> toVerify;
    for (const Outcome& o : outcomes) {
        if (!o.sent)
            continue;
        ++sent;
        const bool isStored = stored.count(o.fingerprint) > 0;
        after += o.start > windows.back().end;
        if (o.accepted) {
            ++accepted;
            ++acknowledged[o.fingerprint];
            if (isStored)
                toVerify.push_back(&o);
            else
                ++lost;
            continue;
        }
        if (o.shared && o.status == 200 && o.code == QLatin1String("error:dberror-update")) {
            ++repeatsRefused;
            continue;
        }
        // A failure: a refusal with the site's code or an unknown outcome (503), inside a fault.
        const QString kind = o.status == 503 ? QStringLiteral("503")
                             : o.status == 200 && !o.code.isEmpty()
                                 ? o.code
                                 : QStringLiteral("status %1").arg(o.status);
        unknownButStored += o.status == 503 && isStored;
        // A refusal is definite: what was refused is not registered (unless its twin was).
        refusedButStored += o.status == 200 && !o.shared && isStored;
        badFailures +=
            kind.startsWith(QLatin1String("status")) || o.code == QLatin1String("error:dberror-update");
        const auto w = std::find_if(windows.begin(), windows.end(),
                                    [&](const Window& w) { return o.start <= w.end && o.end >= w.begin; });
        if (w != windows.end()) {
            ++w->failed;
            ++w->kinds[kind];
        } else {
            ++outside;
            std::printf("  failed outside a fault: request at %.2f-%.2f s: %s\n", o.start, o.end,
                        qPrintable(kind));
        }
    }
    int registeredTwice = 0, acknowledgedTwice = 0;
    for (const auto& [fp, rows] : stored)
        registeredTwice += rows.size() > 1;
    for (const auto& [fp, count] : acknowledged)
        acknowledgedTwice += count > 1;

    std::atomic<size_t> nextCheck{0};
    std::atomic<int> verified{0};
    onClients(proxy.port(), site, [&](httplib::SSLClient& c) {
        for (size_t i; (i = nextCheck++) < toVerify.size();) {
            const Outcome& o = *toVerify[i];
            const QJsonObject row = stored[o.fingerprint].front();
            const QString record =
                o.password ? o.record : QLatin1String(SiteRecordPrefix) + row.value("token").toString();
            verified +=
                sitehttp::Post(c, Path::Verify,
                               sitehttp::Form(VerifyFields("/home/member/" + row.value("name").toString(),
                                                           o.fingerprint, kMember, kPassword, record)))
                    .body.contains(QLatin1String("name=\"tessaro-verification\" content=\"verified\""));
        }
    });
    std::printf("load %.1f s, verification %.1f s\n", loadEnd - loadStart, now() - loadEnd);
    std::printf("requests sent %d of %d, acknowledged %d, refused as already registered %d\n", sent,
                kRequests, accepted, repeatsRefused);
    for (const Window& w : windows) {
        QStringList kinds;
        for (const auto& [kind, count] : w.kinds)
            kinds << QStringLiteral("%1 %2").arg(count).arg(kind);
        std::printf("%s, %.1f s: %d failed (%s)\n", qPrintable(w.what), w.end - w.begin, w.failed,
                    qPrintable(kinds.join(QStringLiteral(", "))));
    }
    std::printf("failed outside a fault %d; failed otherwise than a site code or 503 %d\n", outside,
                badFailures);
    std::printf(
        "after the faults %d sent; 503 (outcome unknown) but registered %d; refused but registered %d\n",
        after, unknownButStored, refusedButStored);
    std::printf(
        "lost %d; registered twice %d; acknowledged twice %d; verified through the verify page %d of %zu\n",
        lost, registeredTwice, acknowledgedTwice, verified.load(), toVerify.size());
    const bool ok = accepted > 0 && lost == 0 && registeredTwice == 0 && acknowledgedTwice == 0 &&
                    outside == 0 && badFailures == 0 && refusedButStored == 0 &&
                    verified == static_cast<int>(toVerify.size());
    std::printf("%s\n", ok ? "PASS" : "FAIL");
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir tmp(QDir::tempPath() + QStringLiteral("/tsdeploy-XXXXXX"));
    tmp.setAutoRemove(qEnvironmentVariableIsEmpty("TESSARO_KEEP"));
    const QString dir = tmp.path();
    // nginx's workers run as nobody when the test runs as root: they pass through.
    QFile::setPermissions(dir, QFile::permissions(dir) | QFile::ExeGroup | QFile::ExeOther);
    std::printf("working folder %s\n", qPrintable(dir));
    try {
        return test(dir) ? 0 : (tmp.setAutoRemove(false), 1);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "FAIL: %s\n", e.what());
        tmp.setAutoRemove(false);
        return 1;
    }
}
