// Start-up time, from process start to the introduction page loaded: the real program against a
// bare main window with a web view loading the same page. Each iteration starts both probes as
// fresh processes, alternating which goes first so that neither always meets a busier machine,
// and times each from just before the spawn to the moment it writes "loaded".
//
// Counters: tessaro_ms and bare_ms are the medians over the iterations, ratio is their quotient
// (goal: at most 1.5). The reported time per iteration is the real program's.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr int kIterations = 12;
// A probe that has not loaded its page in this time is taken as hung and killed.
constexpr int kProbeTimeoutMs = 120'000;

struct ProbeRun {
    bool ok = false;
    double seconds = 0.0;
    std::string error;
};

// Starts the probe with its standard output on a pipe (standard error discarded: Qt WebEngine
// chatters there) and waits for its first line.
ProbeRun runProbe(const char* path) {
    ProbeRun run;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        run.error = "pipe failed";
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>(path), nullptr};

    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, path, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        run.error = std::string("cannot start ") + path;
        return run;
    }

    std::string line;
    bool timedOut = false;
    const auto deadline = start + std::chrono::milliseconds(kProbeTimeoutMs);
    while (line.find('\n') == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd pfd{fds[0], POLLIN, 0};
        const int ready = poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            timedOut = ready == 0;
            break;
        }
        char buffer[64];
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // the probe ended without a line
        line.append(buffer, static_cast<size_t>(n));
    }
    const auto end = std::chrono::steady_clock::now();
    close(fds[0]);

    if (timedOut)
        kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }

    run.seconds = std::chrono::duration<double>(end - start).count();
    if (line.rfind("loaded\n", 0) == 0) {
        run.ok = true;
    } else {
        run.error = std::string(path) + (timedOut ? ": timed out" : ": did not load the page");
    }
    return run;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

struct Summary {
    std::vector<double> tessaro;
    std::vector<double> bare;
};
Summary g_summary;

void BM_StartupToIntroLoaded(benchmark::State& state) {
    // One untimed start of each first, so that both are timed with the libraries in the file cache.
    for (const char* probe : {TESSARO_PROBE_TESSARO, TESSARO_PROBE_BARE}) {
        const ProbeRun warm = runProbe(probe);
        if (!warm.ok) {
            state.SkipWithError(warm.error.c_str());
            return;
        }
    }

    std::vector<double> tessaro;
    std::vector<double> bare;
    bool tessaroFirst = true;
    for (auto _ : state) {
        ProbeRun t;
        ProbeRun b;
        if (tessaroFirst) {
            t = runProbe(TESSARO_PROBE_TESSARO);
            b = runProbe(TESSARO_PROBE_BARE);
        } else {
            b = runProbe(TESSARO_PROBE_BARE);
            t = runProbe(TESSARO_PROBE_TESSARO);
        }
        tessaroFirst = !tessaroFirst;
        if (!t.ok || !b.ok) {
            state.SkipWithError((t.ok ? b : t).error.c_str());
            break;
        }
        tessaro.push_back(t.seconds);
        bare.push_back(b.seconds);
        state.SetIterationTime(t.seconds);
    }
    if (tessaro.empty())
        return;

    const double t = median(tessaro);
    const double b = median(bare);
    state.counters["tessaro_ms"] = t * 1000.0;
    state.counters["bare_ms"] = b * 1000.0;
    state.counters["ratio"] = t / b;
    g_summary = {tessaro, bare};
}
BENCHMARK(BM_StartupToIntroLoaded)->UseManualTime()->Iterations(kIterations)->Unit(benchmark::kMillisecond);

void printRow(const char* name, const std::vector<double>& s) {
    std::printf("  %-22s min %7.1f ms   median %7.1f ms   max %7.1f ms\n", name,
                *std::min_element(s.begin(), s.end()) * 1000.0, median(s) * 1000.0,
                *std::max_element(s.begin(), s.end()) * 1000.0);
}

} // namespace

int main(int argc, char** argv) {
    // The probes run headless unless told otherwise; as root Qt WebEngine needs its sandbox off.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu", 0);
    if (geteuid() == 0)
        setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    if (!g_summary.tessaro.empty()) {
        std::printf("\nProcess start to introduction page loaded, %zu runs each:\n",
                    g_summary.tessaro.size());
        printRow("Tessaro main window", g_summary.tessaro);
        printRow("bare QMainWindow", g_summary.bare);
        const double ratio = median(g_summary.tessaro) / median(g_summary.bare);
        std::printf("  ratio of medians       %.2f (goal: at most 1.50) %s\n", ratio,
                    ratio <= 1.5 ? "met" : "NOT met");
    }
    return 0;
}
