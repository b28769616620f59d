// The site database's share of a registration and of a sign-in, beside the work it cannot avoid:
// durable inserts (each one a synced commit) from one and from several threads sharing one database, on
// SQLite and on a throwaway PostgreSQL cluster on this machine (each engine's rate also printed as a ratio
// of SQLite's in the same run), and password checks through the accounts beside bare argon2id
// verifications of the same cost, on every core.
#include "common/PgCluster.h"
#include "sitedb/Accounts.h"
#include "sitedb/SiteDatabase.h"

#include <QAtomicInteger>
#include <QCoreApplication>
#include <QTemporaryDir>
#include <QThread>
#include <argon2.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>

namespace {

enum Engine { SQLite, PostgreSQL };

// One site folder per engine for the whole run, with one user. PostgreSQL: a cluster started for the run.
const QString& SiteDir(int engine) {
    static std::unique_ptr<QTemporaryDir> dirs[2];
    static std::unique_ptr<PgCluster> cluster;
    static std::once_flag once[2];
    static QString paths[2];
    std::call_once(once[engine], [engine] {
        dirs[engine] = std::make_unique<QTemporaryDir>();
        QString url;
        if (engine == PostgreSQL) {
            cluster = std::make_unique<PgCluster>();
            url = cluster->createDatabase();
            if (url.isEmpty()) {
                qFatal("%s", qPrintable(cluster->errorString()));
            }
        }
        SiteDatabase::Create(dirs[engine]->path(), url);
        SiteDatabase db(dirs[engine]->path());
        Accounts(db).Add(QStringLiteral("alice"), QStringLiteral("correct horse battery staple"));
        paths[engine] = dirs[engine]->path();
    });
    return paths[engine];
}

QAtomicInteger<quint64> NextFingerprint;

void BM_DurableInsert(benchmark::State& state) {
    SiteDatabase db(SiteDir(int(state.range(0))));
    const QByteArray token(1200, 'T'); // about the size of a time-stamp token
    for (auto _ : state) {
        Registration r{0,
                       QStringLiteral("%1").arg(++NextFingerprint, 40, 16, QLatin1Char('0')).toUpper(),
                       "report.pdf",
                       "alice",
                       "password",
                       QDateTime::currentDateTimeUtc(),
                       token};
        if (db.InsertRegistration(r) != SiteDatabase::Insert::Inserted) {
            state.SkipWithError("insert failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Argon2idVerify(benchmark::State& state) {
    const PasswordHashCost cost;
    const unsigned char salt[16] = {1, 2, 3};
    char encoded[256];
    argon2id_hash_encoded(cost.passes, cost.memoryKiB, 1, "pw", 2, salt, sizeof salt, 32, encoded,
                          sizeof encoded);
    for (auto _ : state) {
        benchmark::DoNotOptimize(argon2id_verify(encoded, "pw", 2));
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_AccountsCheck(benchmark::State& state) {
    SiteDatabase db(SiteDir(int(state.range(0))));
    Accounts accounts(db);
    const QString address = QStringLiteral("192.0.2.%1").arg(state.thread_index());
    for (auto _ : state) {
        if (accounts.Check(QStringLiteral("alice"), QStringLiteral("correct horse battery staple"),
                           address) != Accounts::SignIn::Ok) {
            state.SkipWithError("sign-in failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

const int Cores = std::max(1, QThread::idealThreadCount());

// Prints, after the table, each PostgreSQL rate as a ratio of the same benchmark's rate on SQLite.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const auto rate = run.counters.find("items_per_second");
            if (rate != run.counters.end()) {
                m_rates[run.benchmark_name()] = rate->second;
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const auto& [name, rate] : m_rates) {
            const std::string::size_type engine = name.find("/1/");
            if (engine == std::string::npos) {
                continue;
            }
            const auto sqlite = m_rates.find(name.substr(0, engine) + "/0/" + name.substr(engine + 3));
            if (sqlite != m_rates.end() && sqlite->second > 0) {
                std::printf("PostgreSQL against SQLite, %s: %.2fx\n", name.c_str(), rate / sqlite->second);
            }
        }
    }

private:
    std::map<std::string, double> m_rates;
};

} // namespace

// Argument: the engine (0 SQLite, 1 PostgreSQL).
BENCHMARK(BM_DurableInsert)
    ->Arg(SQLite)
    ->Arg(PostgreSQL)
    ->Threads(1)
    ->Threads(8)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Argon2idVerify)->Threads(Cores)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AccountsCheck)
    ->Arg(SQLite)
    ->Arg(PostgreSQL)
    ->Threads(Cores)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv); // Qt SQL finds its drivers through it
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
