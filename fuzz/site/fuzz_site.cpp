// Fuzzes the service's request handling without the network: form decoding, field checks, the
// certificate post's CMS check, token reading on the verify page, receipts. The first byte picks
// the path and whether the request carries a live session cookie; the rest is the POST body.
// Every input must end in a page, never in a crash. The site lives in a temporary folder made
// once; password hashing is made cheap so that sign-ins do not dominate.

#include "site/SiteHandler.h"
#include "sitekeys/SiteKeys.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>

namespace {

struct Fixture {
    QTemporaryDir dir;
    std::unique_ptr<SiteContext> context;
    std::unique_ptr<SiteWorker> worker;
    std::string cookie;
    Fixture() {
        SiteKeys::Create(dir.path(), {}, QString());
        SiteDatabase::Create(dir.path());
        context = std::make_unique<SiteContext>(dir.path());
        worker = std::make_unique<SiteWorker>(dir.path(), Accounts::HashCost{64, 1});
        worker->accounts.Add(QStringLiteral("u"), QStringLiteral("p"));
        cookie = "TSSESSION=" + context->Sessions().Issue(QDateTime::currentDateTimeUtc()).toStdString();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int argc = 1;
    static char name[] = "fuzz_site";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static Fixture fixture;
    if (size == 0)
        return 0;
    static const char* const paths[] = {"/tessaro/user/regfile.asp", "/scripts/register/regfile.asp",
                                        "/scripts/register/verify.asp", "/scripts/register/receipt.asp"};
    SiteRequest request;
    request.method = "POST";
    request.path = paths[data[0] % 4];
    request.contentType = "application/x-www-form-urlencoded";
    request.cookie = (data[0] & 4) ? fixture.cookie : std::string();
    request.body.assign(reinterpret_cast<const char*>(data + 1), size - 1);
    request.clientAddress = QStringLiteral("192.0.2.%1").arg(data[0] >> 3);
    const SiteResponse response = HandleRequest(*fixture.context, *fixture.worker, request);
    if (response.status == 0 || response.body.empty())
        __builtin_trap();
    return 0;
}
