// Documents of any size, cold: File > Register and View > Registered Files... through the real
// program, each run a fresh process started as a user starts it (documents_probe), for a 1 MiB
// and a 1 GiB document. What counts is what the larger document adds: (1 GiB run - 1 MiB run),
// set against the same difference for the shell's tools over the same files in the same run:
//   register  at most 1.5 x  cat | openssl sha1, then cp and sync
//   verify    at most 1.3 x  cat | openssl sha1
// and the peak anonymous memory (RssAnon, sampled every 2 ms; file pages do not count) of the
// 1 GiB run at most 64 MiB above that of the 1 MiB run. Also measured in the same run: what
// touching 1 GiB of fresh memory costs this machine, against reading the cached 1 GiB document
// through one small buffer.
//
// Run by hand (it is not a test): bench_documents [runs, default 3]. The documents live in a
// temporary folder under TMPDIR (or /tmp), removed at the end; about 3 GiB must be free there.
// The exit status is 1 when a goal is missed.

#include "common/E2eHarness.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr qint64 MiB = qint64(1) << 20;
constexpr qint64 GiB = qint64(1) << 30;

double seconds(Clock::time_point from) {
    return std::chrono::duration<double>(Clock::now() - from).count();
}

qint64 rssAnonOf(pid_t pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("RssAnon:"))
            return line.mid(8).trimmed().split(' ').value(0).toLongLong() * 1024;
    return -1;
}

struct Run {
    bool ok = false;
    double wall = 0;     // process start to end, s
    double command = 0;  // the command alone, as the probe measured it, s
    qint64 peakAnon = 0; // bytes
    std::string output;
};

// Starts a program with its standard output in a temporary file, samples its anonymous memory
// until it ends, and times it.
Run runProgram(const std::vector<std::string>& arguments) {
    Run run;
    char outName[] = "/tmp/bench-documents-out-XXXXXX";
    const int out = ::mkstemp(outName);
    ::unlink(outName);
    std::vector<char*> argv;
    for (const std::string& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const Clock::time_point start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out, STDOUT_FILENO);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDERR_FILENO);
        ::execve(argv[0], argv.data(), environ);
        ::_exit(127);
    }
    int status = 0;
    for (;;) {
        run.peakAnon = std::max(run.peakAnon, rssAnonOf(pid));
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR))
            break;
        ::usleep(2000);
    }
    run.wall = seconds(start);
    char buffer[4096];
    const ssize_t n = ::pread(out, buffer, sizeof buffer - 1, 0);
    ::close(out);
    run.output.assign(buffer, size_t(std::max<ssize_t>(n, 0)));
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    run.command = std::atof(run.output.c_str()) / 1000.0;
    return run;
}

Run shell(const std::string& script, const QString& a, const QString& b = QString()) {
    return runProgram({"/bin/sh", "-c", script, "sh", a.toStdString(), b.toStdString()});
}

// Random bytes, written once.
bool makeDocument(const QString& path, qint64 size) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QRandomGenerator rng{quint32(size)};
    QByteArray chunk(4 * MiB, Qt::Uninitialized);
    for (qint64 left = size; left > 0; left -= chunk.size()) {
        rng.fillRange(reinterpret_cast<quint32*>(chunk.data()), chunk.size() / 4);
        if (file.write(chunk.constData(), std::min<qint64>(left, chunk.size())) < 0)
            return false;
    }
    return true;
}

// Each registration must be new to the site: the document's first bytes name the run.
void markDocument(const QString& path, int run) {
    const QByteArray mark = QByteArray("run ") + QByteArray::number(run) + ' ' +
                            QByteArray::number(QRandomGenerator::global()->generate64(), 16);
    QFile file(path);
    if (file.open(QIODevice::ReadWrite))
        file.write(mark);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// In a child of its own: touches 1 GiB of fresh memory, then reads the document through one
// 1 MiB buffer; prints both times in seconds.
int measureMemory(const char* document) {
    Clock::time_point start = Clock::now();
    char* memory = static_cast<char*>(
        ::mmap(nullptr, size_t(GiB), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (memory == MAP_FAILED)
        return 1;
    for (qint64 at = 0; at < GiB; at += 4096)
        memory[at] = 1;
    const double touch = seconds(start);
    ::munmap(memory, size_t(GiB));
    start = Clock::now();
    const int fd = ::open(document, O_RDONLY);
    std::vector<char> buffer(static_cast<size_t>(MiB));
    while (::read(fd, buffer.data(), buffer.size()) > 0) {
    }
    ::close(fd);
    std::printf("%f %f\n", touch, seconds(start));
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc == 3 && std::strcmp(argv[1], "--memory") == 0)
        return measureMemory(argv[2]);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu", 0);
    if (::geteuid() == 0)
        ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
    QCoreApplication app(argc, argv);
    // The site, and HOME with an NSS database holding one personal certificate that the site trusts.
    E2eEnvironment env(QStringLiteral("one"));
    if (!env.isValid()) {
        std::fprintf(stderr, "%s\n", qPrintable(env.error()));
        return 2;
    }
    const char* tmp = std::getenv("TMPDIR");
    QTemporaryDir work(QString::fromLocal8Bit(tmp && *tmp ? tmp : "/tmp") +
                       QStringLiteral("/bench-documents-XXXXXX"));
    const QString probe = QStringLiteral(TESSARO_DOCUMENTS_PROBE);
    const QString store = QFileInfo(probe).absolutePath() + QStringLiteral("/Registered/");
    struct Size {
        qint64 bytes;
        const char* label;
        QString document;
    };
    std::vector<Size> sizes = {{MiB, "1 MiB", work.filePath(QStringLiteral("document-1MiB.bin"))},
                               {GiB, "1 GiB", work.filePath(QStringLiteral("document-1GiB.bin"))}};
    for (const Size& s : sizes) {
        if (!makeDocument(s.document, s.bytes)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(s.document));
            return 2;
        }
    }
    const QString scratch = work.filePath(QStringLiteral("copy.bin"));
    QDir(store).removeRecursively();

    // What each kind of run took, per size: wall and command times, peaks.
    std::map<std::string, std::vector<double>> times;
    std::map<std::string, qint64> peaks;
    const auto record = [&](const std::string& key, const Run& run, double time) {
        times[key].push_back(time);
        peaks[key] = std::max(peaks[key], run.peakAnon);
    };
    bool failed = false;
    for (int r = 0; r < runs && !failed; ++r) {
        for (const Size& s : sizes) {
            const std::string label = s.label;
            // The baselines.
            ::sync();
            Run base = shell("cat \"$1\" | openssl sha1 >/dev/null && cp \"$1\" \"$2\" && sync", s.document,
                             scratch);
            QFile::remove(scratch);
            record("copy baseline " + label, base, base.wall);
            ::sync();
            base = shell("cat \"$1\" | openssl sha1 >/dev/null", s.document);
            record("hash baseline " + label, base, base.wall);
            // The program: register (nothing of the document in the store), then verify.
            const QString name = QFileInfo(s.document).fileName();
            QFile::remove(store + name);
            QFile::remove(store + name + QStringLiteral(".p7s"));
            markDocument(s.document, r);
            ::sync();
            for (const char* command : {"register", "verify"}) {
                const QString target = QString::fromLatin1(command) == QLatin1String("register")
                                           ? s.document
                                           : store + name + QStringLiteral(".p7s");
                const Run run = runProgram({probe.toStdString(), command, target.toStdString()});
                if (!run.ok) {
                    std::fprintf(stderr, "%s %s failed: %s\n", command, s.label, run.output.c_str());
                    failed = true;
                    break;
                }
                record(std::string(command) + " " + label, run, run.command);
                record(std::string(command) + " process " + label, run, run.wall);
                std::printf("run %d %-8s %-6s command %7.3f s  process %7.3f s  peak RssAnon %7.1f MiB\n",
                            r + 1, command, s.label, run.command, run.wall, double(run.peakAnon) / MiB);
                std::fflush(stdout);
            }
        }
    }
    QDir(store).removeRecursively();
    if (failed)
        return 2;

    const Run memory = runProgram(
        {QCoreApplication::applicationFilePath().toStdString(), "--memory", sizes[1].document.toStdString()});
    double touch = 0, cachedRead = 0;
    std::sscanf(memory.output.c_str(), "%lf %lf", &touch, &cachedRead);

    const auto extra = [&](const std::string& kind) {
        return median(times[kind + " 1 GiB"]) - median(times[kind + " 1 MiB"]);
    };
    bool met = true;
    std::printf("\nWhat 1 GiB adds over 1 MiB (medians of %d runs):\n", runs);
    for (const auto& [command, baseline, goal] :
         {std::tuple{"register", "copy baseline", 1.5}, std::tuple{"verify", "hash baseline", 1.3}}) {
        const double program = extra(command);
        const double process = extra(std::string(command) + " process");
        const double base = extra(baseline);
        const double ratio = program / base;
        const qint64 memoryExtra =
            peaks[std::string(command) + " 1 GiB"] - peaks[std::string(command) + " 1 MiB"];
        const bool ok = ratio <= goal && memoryExtra <= 64 * MiB;
        met = met && ok;
        std::printf("  %-8s command %6.3f s (process %6.3f s)  %s %6.3f s  ratio %.2f (goal <= %.1f)  "
                    "peak RssAnon +%.1f MiB (goal <= 64)  %s\n",
                    command, program, process, baseline, base, ratio, goal, double(memoryExtra) / MiB,
                    ok ? "met" : "MISSED");
    }
    std::printf("\nThis machine: touching 1 GiB of fresh memory %.3f s; reading the cached 1 GiB document "
                "through a 1 MiB buffer %.3f s (ratio %.1f)\n",
                touch, cachedRead, cachedRead > 0 ? touch / cachedRead : 0.0);
    return met ? 0 : 1;
}
