// Throughput of the fingerprint against OpenSSL's one-shot digest over the same buffers, and of
// the Base64 encoder and decoder. Bytes per second count the binary data in every case.
#include "crypto/TSCrypt.h"

#include <QRandomGenerator>
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <map>

namespace {

constexpr qsizetype KiB = 1024;
constexpr qsizetype MiB = 1024 * KiB;

// One random buffer per size, made once and shared by every benchmark of that size.
const QByteArray& randomBuffer(qsizetype size) {
    static std::map<qsizetype, QByteArray> buffers;
    auto it = buffers.find(size);
    if (it == buffers.end()) {
        QByteArray bytes(size, Qt::Uninitialized);
        QRandomGenerator rng(20240601);
        rng.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / qsizetype(sizeof(quint32)));
        it = buffers.emplace(size, bytes).first;
    }
    return it->second;
}

void BM_HashBinaryHex(benchmark::State& state) {
    const QByteArray& data = randomBuffer(state.range(0));
    for (auto _ : state) {
        TSCrypt crypto;
        QVariant fingerprint = crypto.HashBinary(data, TSCrypt::HashReturnHex);
        benchmark::DoNotOptimize(fingerprint);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_EVP_Digest(benchmark::State& state) {
    const QByteArray& data = randomBuffer(state.range(0));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    for (auto _ : state) {
        if (EVP_Digest(data.constData(), size_t(data.size()), digest, &length, EVP_sha1(), nullptr) != 1)
            state.SkipWithError("EVP_Digest failed");
        benchmark::DoNotOptimize(digest);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Base64Encode(benchmark::State& state) {
    const QByteArray& data = randomBuffer(state.range(0));
    TSCrypt crypto;
    for (auto _ : state) {
        QString text = crypto.Base64EncodeBinary(data);
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Base64Decode(benchmark::State& state) {
    const QByteArray& data = randomBuffer(state.range(0));
    TSCrypt crypto;
    const QString text = crypto.Base64EncodeBinary(data);
    for (auto _ : state) {
        QByteArray bytes = crypto.Base64DecodeToBinary(text);
        benchmark::DoNotOptimize(bytes);
    }
    if (crypto.Base64DecodeToBinary(text) != data)
        state.SkipWithError("decoding did not give the data back");
    state.SetBytesProcessed(state.iterations() * state.range(0));
    state.counters["text_chars"] = double(text.size());
}

} // namespace

BENCHMARK(BM_HashBinaryHex)->Arg(1 * KiB)->Arg(1 * MiB)->Arg(256 * MiB)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EVP_Digest)->Arg(1 * KiB)->Arg(1 * MiB)->Arg(256 * MiB)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Base64Encode)->Arg(16 * MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Base64Decode)->Arg(16 * MiB)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
