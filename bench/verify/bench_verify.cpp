// Verifying a certificate record locally, as the verify command does once the record is chosen
// (read the record, pair it with its copy in the store, read the copy whole, fingerprint it and
// check the signed message against the fingerprint), against a baseline measured in the same
// run: reading the copy whole into memory and hashing it with OpenSSL's SHA-1.
//
// The copies are 1 MiB, 256 MiB and 1 GiB files in a temporary store under $TMPDIR (or /tmp);
// each is read once before it is measured, so both sides read from the page cache.

#include "app/FindExtension.h"
#include "certlib/OpensslCms.h"
#include "crypto/TSCrypt.h"
#include "registration/TSRegistrationStore.h"
#include "verification/TSVerification.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <fcntl.h>
#include <map>
#include <memory>
#include <unistd.h>

namespace {

constexpr qint64 MiB = 1024 * 1024;

struct Registered {
    QString recordPath;
    QString recordTitle;
    QString copyPath;
    bool ok = false;
};

QTemporaryDir& programFolder() {
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/tessaro-bench-verify-XXXXXX"));
    return dir;
}

QByteArray utf16le(const QString& text, bool nul) {
    QByteArray out;
    for (QChar c : text) {
        out.append(char(c.unicode() & 0xFF));
        out.append(char(c.unicode() >> 8));
    }
    if (nul)
        out.append(2, '\0');
    return out;
}

// A registered document of the given size: its copy in the store and the record signing its
// fingerprint, made once per size.
const Registered& registered(qint64 size) {
    static std::map<qint64, Registered> made;
    auto it = made.find(size);
    if (it != made.end())
        return it->second;
    Registered r;
    const QString store = TSRegistrationStore::FolderFor(programFolder().path());
    QDir().mkpath(store);
    const QString name = QStringLiteral("document-%1.bin").arg(size);
    r.copyPath = store + name;
    r.recordTitle = name + QStringLiteral(".p7s");
    r.recordPath = store + r.recordTitle;

    QFile copy(r.copyPath);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha1(), nullptr);
    if (copy.open(QIODevice::WriteOnly)) {
        QByteArray block(qsizetype(8 * MiB), Qt::Uninitialized);
        QRandomGenerator rng{quint32(size)};
        for (qint64 left = size; left > 0;) {
            const qint64 n = std::min<qint64>(left, block.size());
            rng.fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
            copy.write(block.constData(), n);
            EVP_DigestUpdate(ctx, block.constData(), size_t(n));
            left -= n;
        }
        copy.close();
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx, digest, &length);
    EVP_MD_CTX_free(ctx);
    const QString fingerprint =
        QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), int(length)).toHex().toUpper());

    opensslcms::Options options;
    options.content = utf16le(fingerprint, false);
    options.signingTime = QDateTime::currentDateTime();
    options.nameOctets = utf16le(name, true);
    QString error;
    const QByteArray der = opensslcms::sign(options, &error);
    QFile record(r.recordPath);
    r.ok = error.isEmpty() && copy.size() == size && record.open(QIODevice::WriteOnly) &&
           record.write(QByteArray(der.toBase64())) > 0;
    if (!error.isEmpty())
        std::fprintf(stderr, "signing failed: %s\n", qPrintable(error));
    record.close();
    return made.emplace(size, r).first->second;
}

void BM_VerifyCertificateRecord(benchmark::State& state) {
    const Registered& r = registered(state.range(0));
    if (!r.ok) {
        state.SkipWithError("the registered document could not be made");
        return;
    }
    const TSRegistrationStore store(programFolder().path());
    TSRegistrationStore::ReadWholeFile(r.copyPath); // into the page cache
    for (auto _ : state) {
        const std::optional<QString> record = TSRegistrationStore::ReadRecord(r.recordPath);
        const QString copyPath = store.CopyPathForRecord(r.recordTitle, FindExtension(r.recordTitle));
        std::optional<QByteArray> copy = TSRegistrationStore::ReadWholeFile(copyPath);
        if (!record || !copy) {
            state.SkipWithError("cannot read the record or its copy");
            return;
        }
        const std::optional<QString> fingerprint = TSVerification::Fingerprint(*copy);
        copy.reset();
        const TSVerification::LocalCheck check =
            TSVerification::CheckCertificateRecord(*record, fingerprint.value_or(QString()));
        if (check.outcome != TSVerification::LocalCheck::Outcome::Verified) {
            state.SkipWithError("the record does not verify");
            return;
        }
        benchmark::DoNotOptimize(check);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// Reading the copy whole into one buffer and hashing it: the least that reading and
// fingerprinting a whole file costs.
void BM_ReadAndHashBaseline(benchmark::State& state) {
    const Registered& r = registered(state.range(0));
    if (!r.ok) {
        state.SkipWithError("the registered document could not be made");
        return;
    }
    const QByteArray path = QFile::encodeName(r.copyPath);
    for (auto _ : state) {
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        const off_t size = fd >= 0 ? ::lseek(fd, 0, SEEK_END) : -1;
        if (size < 0 || ::lseek(fd, 0, SEEK_SET) != 0) {
            state.SkipWithError("cannot open the copy");
            return;
        }
        std::unique_ptr<char[]> buffer(new char[size_t(size)]);
        off_t filled = 0;
        while (filled < size) {
            const ssize_t got =
                ::read(fd, buffer.get() + filled, size_t(std::min<off_t>(size - filled, 1 << 30)));
            if (got <= 0)
                break;
            filled += got;
        }
        ::close(fd);
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_Digest(buffer.get(), size_t(filled), digest, &length, EVP_sha1(), nullptr);
        benchmark::DoNotOptimize(digest);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

} // namespace

// For each size the baseline and the verification are measured one after the other, so that
// both see the same state of the machine; each is repeated and summarised.
int main(int argc, char** argv) {
    for (const qint64 size : {1 * MiB, 256 * MiB, 1024 * MiB}) {
        for (const auto& [name, function] :
             {std::pair{"ReadAndHashBaseline", &BM_ReadAndHashBaseline},
              std::pair{"VerifyCertificateRecord", &BM_VerifyCertificateRecord}}) {
            benchmark::RegisterBenchmark(name, function)
                ->Arg(size)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime()
                ->Repetitions(5)
                ->ReportAggregatesOnly(true);
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
