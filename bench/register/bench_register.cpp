// The register command's work without the site: read the document, fingerprint it, sign the
// fingerprint with a real personal certificate from an NSS database, and write the record and the
// copy into a store. Measured for 1 MiB, 256 MiB and 1 GiB documents against a baseline of the
// same run: read the file, OpenSSL's SHA-1 over it, and a copy of it flushed to disk.
//
// After the timings the program measures the peak resident size of registering each document in a
// fresh process of its own, less that of registering a 1-byte document, against the document's
// size plus 64 MiB (the high-water mark VmHWM of /proc/self/status).
//
// Goals: the pipeline at most 1.5 times the baseline at 1 GiB; the extra memory within the
// document's size plus 64 MiB. The program's exit status is 1 when a goal is missed.
//
// The documents and stores live in a temporary folder under TMPDIR (or /tmp): about 3.3 GiB of
// free space are needed.

#include "crypto/TSCrypt.h"
#include "platform/CertLibrary.h"
#include "registration/TSRegisterTexts.h"
#include "registration/TSRegistrationStore.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 MiB = qint64(1) << 20;
constexpr qint64 GiB = qint64(1) << 30;
constexpr double kTimeGoal = 1.5;
constexpr qint64 kMemoryAllowance = 64 * MiB;

struct Size {
    qint64 bytes;
    const char* label;
    int iterations; // 0: as many as the library wants
};
constexpr Size kSizes[] = {{MiB, "1 MiB", 0}, {256 * MiB, "256 MiB", 5}, {GiB, "1 GiB", 3}};

// The work folder: documents, stores, and the NSS database in its own HOME.
QString g_work;

QString documentPath(qint64 size) {
    return g_work + QStringLiteral("/documents/document-%1.bin").arg(size);
}

// Writes a document of random bytes once.
void makeDocument(qint64 size) {
    const QString path = documentPath(size);
    if (QFileInfo::exists(path))
        return;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw std::runtime_error("cannot write the document");
    QRandomGenerator rng(20240601 + quint32(size));
    QByteArray chunk(qsizetype(std::min<qint64>(size, 4 * MiB)), Qt::Uninitialized);
    for (qint64 left = size; left > 0;) {
        const qint64 n = std::min<qint64>(left, chunk.size());
        rng.fillRange(reinterpret_cast<quint32*>(chunk.data()), chunk.size() / qsizetype(sizeof(quint32)));
        if (file.write(chunk.constData(), n) != n)
            throw std::runtime_error("cannot write the document");
        left -= n;
    }
}

// ---- The pipeline, as the register command runs it

void registerDocument(const QString& path, const QString& programFolder) {
    TSOpenFile document;
    if (!document.Open(path))
        throw std::runtime_error("cannot open the document");
    const std::optional<QByteArray> bytes = document.ReadAll();
    document.Close();
    if (!bytes)
        throw std::runtime_error("cannot read the document");

    const QString fingerprint = TSCrypt().HashBinary(*bytes, TSCrypt::HashReturnHex).toString();
    const QString name = QFileInfo(path).fileName();
    const QString record = TSRegisterTexts::CleanRegistrationData(
        SignWithTimeAndName(fingerprint, QDateTime::currentDateTime(), name));

    QDir().mkpath(programFolder);
    const TSRegistrationStore store(programFolder);
    if (!store.EnsureFolder() || !store.WritePair(name, record, *bytes).ok())
        throw std::runtime_error("cannot write the pair");
}

void removeStore(const QString& programFolder) {
    QDir(TSRegistrationStore::FolderFor(programFolder)).removeRecursively();
}

void BM_Register(benchmark::State& state, qint64 size) {
    const QString path = documentPath(size);
    const QString programFolder = g_work + QStringLiteral("/program");
    for (auto _ : state) {
        try {
            registerDocument(path, programFolder);
        } catch (const TSError& e) {
            state.SkipWithError(qPrintable(e.description()));
            break;
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            break;
        }
        state.PauseTiming();
        removeStore(programFolder);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * size);
}

// ---- The baseline: read, SHA-1, copy with its flush

QByteArray readFile(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0)
        throw std::runtime_error("cannot open the document");
    QByteArray data(qsizetype(st.st_size), Qt::Uninitialized);
    for (qsizetype filled = 0; filled < data.size();) {
        const ssize_t got =
            ::read(fd, data.data() + filled, size_t(std::min<qsizetype>(data.size() - filled, GiB)));
        if (got <= 0)
            throw std::runtime_error("cannot read the document");
        filled += got;
    }
    ::close(fd);
    return data;
}

void writeFlushed(const QString& path, const QByteArray& data) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0444);
    if (fd < 0)
        throw std::runtime_error("cannot create the copy");
    for (qsizetype done = 0; done < data.size();) {
        const ssize_t put =
            ::write(fd, data.constData() + done, size_t(std::min<qsizetype>(data.size() - done, GiB)));
        if (put <= 0)
            throw std::runtime_error("cannot write the copy");
        done += put;
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0)
        throw std::runtime_error("cannot flush the copy");
}

void BM_Baseline(benchmark::State& state, qint64 size) {
    const QString path = documentPath(size);
    const QString copy = g_work + QStringLiteral("/baseline-copy.bin");
    for (auto _ : state) {
        try {
            const QByteArray data = readFile(path);
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int length = 0;
            if (EVP_Digest(data.constData(), size_t(data.size()), digest, &length, EVP_sha1(), nullptr) != 1)
                throw std::runtime_error("EVP_Digest failed");
            benchmark::DoNotOptimize(digest);
            writeFlushed(copy, data);
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            break;
        }
        state.PauseTiming();
        QFile::remove(copy);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * size);
}

// Keeps each run's mean time (ms) by benchmark name ("register/1 GiB") for the comparison.
class Collector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> timeMs;

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
                continue;
            std::string name = run.benchmark_name();
            const size_t slash = name.find('/', name.find('/') + 1);
            timeMs[name.substr(0, slash)] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

// ---- Peak memory, each in a fresh process

// In the child: registers one document and prints its peak resident size in KiB.
int measurePeak(const QString& path, const QString& programFolder) {
    try {
        registerDocument(path, programFolder);
    } catch (const TSError& e) {
        std::fprintf(stderr, "%s\n", qPrintable(e.description()));
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    // The high-water mark of this process image (getrusage's ru_maxrss would also count the
    // resident size of the parent that started it, which it keeps across exec).
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:")) {
            std::printf("%s\n", line.mid(6).trimmed().split(' ').value(0).constData());
            return 0;
        }
    }
    return 1;
}

// Runs this program to register one document and gives its peak resident size in bytes.
qint64 peakOf(qint64 size) {
    makeDocument(size);
    const QString programFolder = g_work + QStringLiteral("/peak-program");
    removeStore(programFolder);
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--peak"), documentPath(size), programFolder, g_work});
    if (!child.waitForFinished(-1) || child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
        return -1;
    removeStore(programFolder);
    bool ok = false;
    const qint64 kib = child.readAllStandardOutput().trimmed().toLongLong(&ok);
    return ok ? kib * 1024 : -1;
}

// Makes the NSS database with one personal certificate in HOME under the work folder.
bool makeDatabase() {
    const QString home = g_work + QStringLiteral("/home");
    QProcess script;
    script.setProcessChannelMode(QProcess::ForwardedChannels);
    script.start(QStringLiteral("bash"), {QStringLiteral(TESSARO_SOURCE_DIR "/tests/fixtures/make_nssdb.sh"),
                                          QStringLiteral("one"), home});
    if (!script.waitForFinished(120000) || script.exitCode() != 0)
        return false;
    qputenv("HOME", QFile::encodeName(home));
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    if (argc == 5 && QByteArray(argv[1]) == "--peak") {
        g_work = QString::fromLocal8Bit(argv[4]);
        qputenv("HOME", QFile::encodeName(g_work + QStringLiteral("/home")));
        return measurePeak(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    }

    const char* tmp = std::getenv("TMPDIR");
    QTemporaryDir work(QString::fromLocal8Bit(tmp && *tmp ? tmp : "/tmp") +
                       QStringLiteral("/bench-register-XXXXXX"));
    if (!work.isValid())
        return 2;
    g_work = work.path();
    if (!makeDatabase()) {
        std::fprintf(stderr, "cannot make the NSS database\n");
        return 2;
    }
    try {
        for (const Size& s : kSizes)
            makeDocument(s.bytes);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 2;
    }
    // The documents on disk before anything is timed, so that their write-back competes with
    // neither side.
    ::sync();

    for (const Size& s : kSizes) {
        for (const bool pipeline : {false, true}) {
            const std::string name = std::string(pipeline ? "register/" : "baseline/") + s.label;
            benchmark::internal::Benchmark* b =
                pipeline ? benchmark::RegisterBenchmark(name.c_str(), BM_Register, s.bytes)
                         : benchmark::RegisterBenchmark(name.c_str(), BM_Baseline, s.bytes);
            b->UseRealTime()->Unit(benchmark::kMillisecond);
            if (s.iterations > 0)
                b->Iterations(s.iterations);
        }
    }
    benchmark::Initialize(&argc, argv);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    bool met = true;
    std::printf("\nPipeline against baseline (mean wall time):\n");
    for (const Size& s : kSizes) {
        const auto pipeline = collector.timeMs.find(std::string("register/") + s.label);
        const auto baseline = collector.timeMs.find(std::string("baseline/") + s.label);
        if (pipeline == collector.timeMs.end() || baseline == collector.timeMs.end())
            continue;
        const double ratio = pipeline->second / baseline->second;
        const bool goal = s.bytes == GiB;
        std::printf("  %-8s register %9.1f ms  baseline %9.1f ms  ratio %.2f%s\n", s.label, pipeline->second,
                    baseline->second, ratio,
                    goal ? (ratio <= kTimeGoal ? "  (goal <= 1.5: met)" : "  (goal <= 1.5: MISSED)") : "");
        if (goal && ratio > kTimeGoal)
            met = false;
    }

    std::printf("\nPeak resident size registering each document, less that of a 1-byte document:\n");
    const qint64 floor = peakOf(1);
    std::printf("  1 byte   peak %8.1f MiB\n", double(floor) / double(MiB));
    for (const Size& s : kSizes) {
        const qint64 peak = peakOf(s.bytes);
        if (floor < 0 || peak < 0) {
            std::printf("  %-8s could not be measured\n", s.label);
            met = false;
            continue;
        }
        const qint64 extra = peak - floor;
        const bool within = extra <= s.bytes + kMemoryAllowance;
        std::printf("  %-8s peak %8.1f MiB  extra %8.1f MiB  allowed %8.1f MiB  %s\n", s.label,
                    double(peak) / double(MiB), double(extra) / double(MiB),
                    double(s.bytes + kMemoryAllowance) / double(MiB), within ? "met" : "MISSED");
        met = met && within;
    }
    return met ? 0 : 1;
}
