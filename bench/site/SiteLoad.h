#pragma once

// Load on a running tessaro-site and the work it cannot avoid, for the service benchmarks:
// concurrent keep-alive HTTPS clients registering by each method, and the same run's baselines.

#include "CertificateWork.h"

#include <QString>
#include <functional>

namespace siteload {

constexpr int kClients = 32;

struct Result {
    double perSecond = 0;
    double p50ms = 0, p99ms = 0;
    int failures = 0;
};

// Runs `threads` workers doing `each` operations; an operation returns whether it succeeded.
Result Run(int threads, int each, const std::function<std::function<bool()>()>& makeWorker);

// The baselines on every core, in process: (a) argon2id verifications at the service's cost;
// (b) the certificate post's check, the time stamp and one durable insert into a new SQLite site.
struct Baselines {
    Result hashes, certificateWork;
};
Baselines MeasureBaselines(const CertificateWork& work);

// kClients keep-alive HTTPS clients on https://127.0.0.1:port, trusting siteDir/root.pem, each
// registering `each` new documents by the password method (as `user`) or by certificate.
Result PasswordLoad(int port, const QString& siteDir, const QString& user, const QString& password, int each);
Result CertificateLoad(int port, const QString& siteDir, const CertificateWork& work, int each);

// One line: rate, p50/p99 and the rate as a ratio of `baseline`.
void Print(const char* what, const Result& r, double baseline);

} // namespace siteload
