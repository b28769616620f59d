// Time to sign a fingerprint with a personal certificate (NSS signs, OpenSSL re-encodes and
// checks the result) and to verify a certificate record, over a real NSS database.
#include "certstore/CertLibrary.h"
#include "common/NssFixture.h"

#include <QCoreApplication>
#include <benchmark/benchmark.h>
#include <memory>

namespace {

const QString kFingerprint = QStringLiteral("3F786850E387550FDAB836ED7E6DC881DE23001B");

std::unique_ptr<NssFixture> g_database;

QString signOnce() {
    Attribute time;
    time.setName(Attribute::SigningTime);
    time.setValue(QDateTime::currentDateTime());
    Attribute name;
    name.setName(Attribute::DocumentName);
    name.setValue(QStringLiteral("report.doc"));
    Signer signer;
    signer.AuthenticatedAttributes().Add(time);
    signer.AuthenticatedAttributes().Add(name);
    SignedData data;
    data.setContent(kFingerprint);
    return data.Sign(signer, false, 0);
}

void BM_OpenStore(benchmark::State& state) {
    for (auto _ : state) {
        Store store;
        store.Open(2, QStringLiteral("MY"), 0);
        benchmark::DoNotOptimize(store.Certificates().Count());
    }
}

void BM_Sign(benchmark::State& state) {
    for (auto _ : state) {
        QString record = signOnce();
        benchmark::DoNotOptimize(record);
    }
}

void BM_Verify(benchmark::State& state) {
    QString record = signOnce();
    record.remove(QStringLiteral("\r\n"));
    for (auto _ : state) {
        SignedData data;
        data.Verify(record, false, 0);
        benchmark::DoNotOptimize(data.Signers().Item(1).AuthenticatedAttributes().Item(1).Value());
    }
}

} // namespace

BENCHMARK(BM_OpenStore)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Sign)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Verify)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    g_database = std::make_unique<NssFixture>(QStringLiteral("one"));
    if (!g_database->isValid()) {
        fprintf(stderr, "%s\n", qPrintable(g_database->error()));
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_database.reset();
    return 0;
}
