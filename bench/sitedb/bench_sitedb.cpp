// The site database's share of a registration and of a sign-in, beside the work it cannot avoid:
// durable inserts (each one a synced commit) from one and from several threads sharing one file, and
// password checks through the accounts beside bare argon2id verifications of the same cost, on every core.
#include "sitedb/Accounts.h"
#include "sitedb/SiteDatabase.h"

#include <QAtomicInteger>
#include <QTemporaryDir>
#include <QThread>
#include <argon2.h>
#include <benchmark/benchmark.h>

#include <memory>
#include <mutex>

namespace {

// One site folder for the whole run, with one user.
const QString& SiteDir() {
    static std::unique_ptr<QTemporaryDir> dir;
    static std::once_flag once;
    std::call_once(once, [] {
        dir = std::make_unique<QTemporaryDir>();
        SiteDatabase::Create(dir->path());
        SiteDatabase db(dir->path());
        Accounts(db).Add(QStringLiteral("alice"), QStringLiteral("correct horse battery staple"));
    });
    static const QString path = dir->path();
    return path;
}

QAtomicInteger<quint64> NextFingerprint;

void BM_DurableInsert(benchmark::State& state) {
    SiteDatabase db(SiteDir());
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
    SiteDatabase db(SiteDir());
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

} // namespace

BENCHMARK(BM_DurableInsert)->Threads(1)->Threads(8)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Argon2idVerify)->Threads(Cores)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AccountsCheck)->Threads(Cores)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
