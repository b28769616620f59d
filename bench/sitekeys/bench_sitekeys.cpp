// The certificate method's unavoidable work in process: the check of a post (CMS signature,
// chain to a trust anchor, content and attributes), the site's time stamp, and both together on
// one and two threads. Baseline in the same run: the bare public-key operations the pair needs,
// three ECDSA P-256 verifications (the post and two certificates) and one signature.

#include "CertificateWork.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <chrono>
#include <memory>
#include <thread>

#include <openssl/evp.h>

namespace {

struct Fixture {
    QTemporaryDir dir;
    std::unique_ptr<CertificateWork> work;
    QString post;
    const QString name = QStringLiteral("report.pdf");

    Fixture() {
        SiteKeys::Create(dir.path(), {}, {});
        work = std::make_unique<CertificateWork>(dir.path());
        post = work->Post(testpki::kFingerprint, name);
        // A trust folder changed in the last two seconds is read again at every check; a running
        // site's has long settled.
        std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_CertificatePostCheck(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        const CertificatePostCheck c =
            f.work->checker().Check(f.post, f.name, QDateTime::currentDateTimeUtc());
        if (!c.ok)
            state.SkipWithError(qPrintable(c.reason));
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Stamp(benchmark::State& state) {
    Fixture& f = fixture();
    const QByteArray digest = QByteArray::fromHex(testpki::kFingerprint.toLatin1());
    for (auto _ : state)
        benchmark::DoNotOptimize(f.work->stamper().Stamp(digest));
    state.SetItemsProcessed(state.iterations());
}

void BM_CheckAndStamp(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state)
        if (f.work->Run(f.post, f.name).isEmpty())
            state.SkipWithError("the post was refused");
    state.SetItemsProcessed(state.iterations());
}

// Three ECDSA P-256 verifications and one signature over SHA-256, with OpenSSL alone.
void BM_BareEcdsa(benchmark::State& state) {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    const unsigned char data[] = "the signed attributes of a post";
    unsigned char sig[80];
    size_t sigLen = sizeof sig;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get());
    EVP_DigestSign(ctx.get(), sig, &sigLen, data, sizeof data);
    for (auto _ : state) {
        for (int i = 0; i < 3; ++i) {
            EVP_MD_CTX_reset(ctx.get());
            EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get());
            if (EVP_DigestVerify(ctx.get(), sig, sigLen, data, sizeof data) != 1)
                state.SkipWithError("verification failed");
        }
        EVP_MD_CTX_reset(ctx.get());
        size_t len = sizeof sig;
        EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get());
        EVP_DigestSign(ctx.get(), sig, &len, data, sizeof data);
        sigLen = len;
        benchmark::DoNotOptimize(sig);
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(BM_BareEcdsa)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_CertificatePostCheck);
BENCHMARK(BM_Stamp);
BENCHMARK(BM_CheckAndStamp)->Threads(1)->Threads(2)->UseRealTime();

BENCHMARK_MAIN();
