// The organisation's deployment under faults, on 127.0.0.1 only: a throwaway PostgreSQL 15
// cluster, two tessaro-site instances on one site folder behind nginx running the shipped
// deploy/nginx/tessaro-site.conf (only its addresses, ports and paths replaced), and a bounded
// load of registrations by both methods as the client posts them. In the middle of the load one
// instance is killed with SIGKILL and started again, and PostgreSQL is restarted as if it
// crashed. Afterwards every acknowledged registration must be in the database once and verify
// through the verify page; a request may fail only while a part is down, and then only with a
// site error code or 503, never with a false acceptance. Prints its figures.

#include "common/Deployment.h"
#include "common/ServiceSite.h"
#include "common/TestPki.h"
#include "protocol/TSSiteExchange.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include <httplib.h>
#include <signal.h>

namespace {

using Clock = std::chrono::steady_clock;
namespace Path = TSSiteExchange::Path;

constexpr int kRequests = 600; // registrations posted, every tenth a repeat of an earlier fingerprint
constexpr int kClients = 8;    // concurrent keep-alive HTTPS clients
constexpr int kLoadSeconds = 150;
// One member registers by both methods: the account is named as the certificate's subject, so
// the verify page finds both kinds of registration under it.
const QString kMember = QStringLiteral("CN=Fault Test Member,O=Tessaro Test");
const QString kPassword = QStringLiteral("member password");

const Clock::time_point gStart = Clock::now();
double now() {
    return std::chrono::duration<double>(Clock::now() - gStart).count();
}

[[noreturn]] void fail(const QString& why) {
    throw std::runtime_error(why.toStdString());
}

QString fingerprint(int i) {
    return QString::fromLatin1(
        QCryptographicHash::hash("fault test " + QByteArray::number(i), QCryptographicHash::Sha1)
            .toHex()
            .toUpper());
}

std::string form(const QList<QPair<QString, QString>>& fields) {
    std::string body;
    for (const auto& [name, value] : fields)
        body += (body.empty() ? "" : "&") + name.toStdString() + "=" +
                QUrl::toPercentEncoding(value).toStdString();
    return body;
}

struct Outcome {
    bool sent = false;
    bool shared = false;   // a fingerprint posted twice: one post wins, the other is refused
    bool password = false; // else by certificate
    QString fingerprint;
    double start = 0, end = 0;
    int status = 0; // -1: no HTTP answer
    QString code;   // the site's error code of a refusal
    bool accepted = false;
    QString record; // the site record of an accepted password registration
};

struct Window {
    QString what;
    double begin, end;
};

// The deployment, the load with its faults, the checks; whether all held.
bool test(const QString& dir) {
    using namespace deployment;
    Postgres pg(dir + QStringLiteral("/pg"));
    const QString site = dir + QStringLiteral("/site");
    const QString program = ServiceSite::program();
    run(program, {"init", site, "--database", pg.CreateDatabase(QStringLiteral("tessaro_site"))});
    run(program, {"user", "add", site, kMember}, kPassword.toUtf8() + '\n');
    const testpki::Identity ca = testpki::issue(
        {QStringLiteral("Fault Test CA"), true, QStringLiteral("critical,keyCertSign,cRLSign")});
    const testpki::Identity member = testpki::issue({QStringLiteral("Fault Test Member")}, &ca);
    QFile caFile(dir + QStringLiteral("/ca.pem"));
    if (!caFile.open(QIODevice::WriteOnly) || caFile.write(ca.certPem()) < 0)
        fail(QStringLiteral("cannot write the CA"));
    caFile.close();
    run(program, {"trust", "add", site, caFile.fileName()});

    SiteInstance first(site, dir + QStringLiteral("/first.log")),
        second(site, dir + QStringLiteral("/second.log"));
    first.Start();
    second.Start();
    NginxProxy proxy(dir + QStringLiteral("/nginx"), site, first.port(), second.port());
    const int proxyPort = proxy.port();
    const auto client = [&] {
        auto c = std::make_unique<httplib::SSLClient>("127.0.0.1", proxyPort);
        c->set_ca_cert_path(qPrintable(site + QStringLiteral("/root.pem")));
        c->enable_server_certificate_verification(true);
        c->set_keep_alive(true);
        c->set_connection_timeout(5);
        c->set_read_timeout(90);
        return c;
    };
    const auto healthy = [&] {
        auto c = client();
        for (int i = 0; i < 2; ++i) // nginx's choice alternates between the two instances
            if (const auto r = c->Get("/health"); !r || r->status != 200)
                return false;
        return true;
    };
    const auto waitHealthy = [&] {
        for (const QDeadlineTimer deadline(60000); !healthy(); QThread::msleep(50))
            if (deadline.hasExpired())
                fail(QStringLiteral("/health through nginx does not answer 200"));
    };
    waitHealthy();

    // The load.
    std::vector<Outcome> outcomes(kRequests);
    std::atomic<int> next{0}, done{0};
    const QDeadlineTimer loadDeadline(kLoadSeconds * 1000);
    std::vector<std::thread> clients;
    const double loadStart = now();
    for (int t = 0; t < kClients; ++t)
        clients.emplace_back([&] {
            auto c = client();
            std::string cookie;
            for (int i; (i = next++) < kRequests && !loadDeadline.hasExpired(); ++done) {
                Outcome& o = outcomes[static_cast<size_t>(i)];
                const bool repeat = i % 10 == 9;
                o.shared = repeat || (i % 10 == 0 && i + 9 < kRequests);
                o.password = i % 4 == 0;
                o.fingerprint = fingerprint(repeat ? i - 9 : i);
                const QString name = QStringLiteral("document %1.pdf").arg(i);
                if (!o.password && cookie.empty()) {
                    if (const auto r = c->Get(Path::CertificateFirst); r && r->status == 200)
                        cookie = r->get_header_value("Set-Cookie");
                    cookie = cookie.substr(0, cookie.find(';'));
                }
                const std::string body =
                    o.password
                        ? form(TSSiteExchange::PasswordRegistrationFields(name, o.fingerprint, kMember,
                                                                          kPassword))
                        : form(TSSiteExchange::CertificateRegistrationFields(
                              QString::fromLatin1(testpki::signPost(member, {testpki::utf16le(o.fingerprint),
                                                                             QDateTime::currentDateTimeUtc(),
                                                                             name,
                                                                             {}})
                                                      .toBase64()),
                              name));
                httplib::Headers headers;
                if (!o.password)
                    headers.emplace("Cookie", cookie);
                o.sent = true;
                o.start = now();
                const auto r = c->Post(o.password ? Path::Password : Path::CertificatePost, headers, body,
                                       "application/x-www-form-urlencoded");
                o.end = now();
                o.status = r ? r->status : -1;
                if (!r) {
                    QThread::msleep(500);
                    continue;
                }
                const QString page = QString::fromStdString(r->body);
                const QRegularExpressionMatch code =
                    QRegularExpression(QStringLiteral("error:[a-z-]+"),
                                       QRegularExpression::CaseInsensitiveOption)
                        .match(page);
                if (code.hasMatch())
                    o.code = code.captured(0);
                if (o.code == QLatin1String("error:no-session"))
                    cookie.clear();
                const std::optional<QString> record = TSSiteExchange::TakeSiteSignature(page);
                o.accepted = r->status == 200 &&
                             TSSiteExchange::ClassifyReply(page) == TSSiteExchange::Reply::Accepted &&
                             (!o.password || TSSiteExchange::IsUsableSignature(record));
                if (o.accepted && o.password)
                    o.record = *record;
                // A member told that the site cannot register now tries again a little later.
                if (!o.accepted && o.code != QLatin1String("error:dberror-update"))
                    QThread::msleep(500);
            }
        });

    // The faults, each at a point of the load; a window lasts until the part serves again.
    std::vector<Window> windows;
    const auto waitFor = [&](int count) {
        while (done < count && next < kRequests && !loadDeadline.hasExpired())
            QThread::msleep(20);
    };
    std::exception_ptr faultFailed;
    try {
        waitFor(kRequests / 4);
        windows.push_back({QStringLiteral("instance killed (SIGKILL), started again"), now(), 0});
        first.Stop(SIGKILL);
        QThread::msleep(1500);
        first.Start();
        waitHealthy();
        windows.back().end = now();
        waitFor(kRequests / 2);
        windows.push_back({QStringLiteral("PostgreSQL restarted (immediate stop)"), now(), 0});
        pg.Restart(QStringLiteral("immediate"));
        waitHealthy();
        windows.back().end = now();
    } catch (...) {
        faultFailed = std::current_exception();
    }
    for (std::thread& t : clients)
        t.join();
    if (faultFailed)
        std::rethrow_exception(faultFailed);
    const double loadEnd = now();

    // What the database holds, and what the verify page says of each acknowledged registration.
    std::map<QString, QList<QJsonObject>> stored;
    for (const QByteArray& line : run(program, {"list", site}).split('\n'))
        if (!line.trimmed().isEmpty()) {
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            stored[o.value("fingerprint").toString()].append(o);
        }
    std::map<QString, int> acknowledged;
    int sent = 0, accepted = 0, repeatsRefused = 0, unknownButStored = 0, lost = 0, outside = 0,
        badFailures = 0, refusedButStored = 0, after = 0, failedAfter = 0;
    std::vector<int> failedIn(windows.size(), 0);
    std::vector<std::map<QString, int>> kindsIn(windows.size());
    std::vector<const Outcome*> toVerify;
    for (const Outcome& o : outcomes) {
        if (!o.sent)
            continue;
        ++sent;
        const bool afterFaults = o.start > windows.back().end;
        after += afterFaults;
        failedAfter += afterFaults && !o.accepted && !o.shared;
        if (o.accepted) {
            ++accepted;
            ++acknowledged[o.fingerprint];
            if (!stored.count(o.fingerprint))
                ++lost;
            else
                toVerify.push_back(&o);
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
        if (o.status == 503 && stored.count(o.fingerprint))
            ++unknownButStored;
        // A refusal is definite: what was refused is not registered (unless its twin was).
        if (o.status == 200 && !o.shared && stored.count(o.fingerprint))
            ++refusedButStored;
        if (kind.startsWith(QLatin1String("status")) || o.code == QLatin1String("error:dberror-update"))
            ++badFailures;
        bool inWindow = false;
        for (size_t w = 0; w < windows.size(); ++w)
            if (o.start <= windows[w].end && o.end >= windows[w].begin) {
                ++failedIn[w];
                ++kindsIn[w][kind];
                inWindow = true;
                break;
            }
        if (!inWindow) {
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
    std::vector<std::thread> checkers;
    for (int t = 0; t < kClients; ++t)
        checkers.emplace_back([&] {
            auto c = client();
            for (size_t i; (i = nextCheck++) < toVerify.size();) {
                const Outcome& o = *toVerify[i];
                const QJsonObject row = stored[o.fingerprint].front();
                const QString record = o.password ? o.record
                                                  : QLatin1String(TSSiteExchange::SiteRecordPrefix) +
                                                        row.value("token").toString();
                const auto r = c->Post(Path::Verify,
                                       form(TSSiteExchange::VerifyFields(
                                           QStringLiteral("/home/member/") + row.value("name").toString(),
                                           o.fingerprint, kMember, kPassword, record)),
                                       "application/x-www-form-urlencoded");
                if (r && r->status == 200 &&
                    r->body.find("name=\"tessaro-verification\" content=\"verified\"") != std::string::npos)
                    ++verified;
            }
        });
    for (std::thread& t : checkers)
        t.join();
    std::printf("load %.1f s, verification %.1f s\n", loadEnd - loadStart, now() - loadEnd);

    std::printf("requests sent %d of %d, acknowledged %d, refused as already registered %d\n", sent,
                kRequests, accepted, repeatsRefused);
    for (size_t w = 0; w < windows.size(); ++w) {
        QStringList kinds;
        for (const auto& [kind, count] : kindsIn[w])
            kinds << QStringLiteral("%1 %2").arg(count).arg(kind);
        std::printf("%s, %.1f s: %d failed (%s)\n", qPrintable(windows[w].what),
                    windows[w].end - windows[w].begin, failedIn[w],
                    qPrintable(kinds.join(QStringLiteral(", "))));
    }
    std::printf("failed outside a fault %d; failed otherwise than a site code or 503 %d\n", outside,
                badFailures);
    std::printf("after the faults %d sent, %d failed; 503 (outcome unknown) but registered %d; refused but "
                "registered %d\n",
                after, failedAfter, unknownButStored, refusedButStored);
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
    // PostgreSQL and nginx's workers run as nobody when the test runs as root: they pass through.
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
