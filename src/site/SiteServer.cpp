#include "site/SiteServer.h"

#include "site/SiteHandler.h"

#include <QDir>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <httplib.h>
#include <openssl/ssl.h>
#include <pthread.h>

namespace SiteServer {

namespace {

constexpr size_t kMaxBody = 1024 * 1024;
constexpr time_t kKeepAliveSeconds = 5;
constexpr size_t kKeepAliveRequests = 100;
constexpr time_t kReadWriteSeconds = 10;

thread_local SiteWorker* tWorker = nullptr;

void log(const QString& line) {
    const QByteArray text = line.toUtf8() + '\n';
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stderr);
}

// httplib's connection pool with one SiteWorker (its own database connection) per thread: a
// connection is served by one thread from its TLS handshake to its last keep-alive request.
class WorkerPool : public httplib::TaskQueue {
public:
    WorkerPool(const QString& siteDir, int threads) {
        for (int i = 0; i < threads; ++i)
            m_threads.emplace_back([this, siteDir] { Run(siteDir); });
    }
    void enqueue(std::function<void()> fn) override {
        {
            const std::lock_guard lock(m_mutex);
            m_jobs.push_back(std::move(fn));
        }
        m_wake.notify_one();
    }
    void shutdown() override {
        {
            const std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        for (std::thread& t : m_threads)
            t.join();
    }

private:
    void Run(const QString& siteDir) {
        SiteWorker worker(siteDir);
        if (const QString error = worker.db.OpenError(); !error.isEmpty())
            log(QStringLiteral("database not available (tried again at each request): ") + error);
        tWorker = &worker;
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(m_mutex);
                m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
                if (m_jobs.empty())
                    break;
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
            }
            job();
        }
        tWorker = nullptr;
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

void answer(httplib::Response& res, const SiteResponse& response) {
    res.status = response.status;
    for (const auto& [name, value] : response.headers)
        res.set_header(name, value);
    res.set_content(response.body, "text/html; charset=utf-8");
}

bool isIpAddress(const QString& host) {
    unsigned char buffer[sizeof(in6_addr)];
    const QByteArray text = host.toLatin1();
    return inet_pton(AF_INET, text.constData(), buffer) == 1 ||
           inet_pton(AF_INET6, text.constData(), buffer) == 1;
}

QString urlHost(const QString& host) {
    return host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
}

} // namespace

Address ParseListen(const QString& text) {
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    bool number = false;
    const int port = colon > 0 ? text.mid(colon + 1).toInt(&number) : -1;
    QString host = colon > 0 ? text.left(colon) : QString();
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    if (!number || port < 0 || port > 65535 || text.mid(colon + 1).startsWith(QLatin1Char('+')) ||
        !isIpAddress(host))
        throw std::runtime_error(
            "--listen takes ADDR:PORT with an IP address, as in 127.0.0.1:8443 or [::1]:8443 "
            "(port 0 picks a free port); got \"" +
            text.toStdString() + "\"");
    return {host, port};
}

void Serve(const Options& options) {
    const Address address = ParseListen(options.listen);
    const SiteContext context(options.siteDir);
    const std::string certPath = QDir(options.siteDir).filePath(QStringLiteral("tls-cert.pem")).toStdString();
    const std::string keyPath = QDir(options.siteDir).filePath(QStringLiteral("tls-key.pem")).toStdString();

    httplib::SSLServer server([&](SSL_CTX& ctx) {
        SSL_CTX_set_min_proto_version(&ctx, TLS1_2_VERSION);
        SSL_CTX_set_options(&ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                                      SSL_OP_CIPHER_SERVER_PREFERENCE);
        return SSL_CTX_use_certificate_chain_file(&ctx, certPath.c_str()) == 1 &&
               SSL_CTX_use_PrivateKey_file(&ctx, keyPath.c_str(), SSL_FILETYPE_PEM) == 1 &&
               SSL_CTX_check_private_key(&ctx) == 1;
    });
    if (!server.is_valid())
        throw std::runtime_error("cannot load the site's TLS certificate and key (" + certPath + ", " +
                                 keyPath + ")");

    server.new_task_queue = [&] { return new WorkerPool(options.siteDir, options.threads); };
    server.set_keep_alive_timeout(kKeepAliveSeconds);
    server.set_keep_alive_max_count(kKeepAliveRequests);
    server.set_read_timeout(kReadWriteSeconds);
    server.set_write_timeout(kReadWriteSeconds);
    server.set_payload_max_length(kMaxBody);
    server.set_default_headers({{"Cache-Control", "no-store"},
                                {"X-Content-Type-Options", "nosniff"},
                                {"X-Frame-Options", "DENY"},
                                {"Referrer-Policy", "no-referrer"}});

    const auto handle = [&](const httplib::Request& req, httplib::Response& res) {
        SiteRequest request{req.method,
                            req.path,
                            req.get_header_value("Content-Type"),
                            req.get_header_value("Cookie"),
                            req.body,
                            QString::fromStdString(req.remote_addr)};
        const SiteResponse response = HandleRequest(context, *tWorker, request);
        answer(res, response);
        log(QStringLiteral("%1 %2 %3 %4%5")
                .arg(request.clientAddress, QString::fromStdString(req.method),
                     QString::fromStdString(req.path))
                .arg(response.status)
                .arg(response.logLine.isEmpty() ? QString() : QStringLiteral(": ") + response.logLine));
    };
    for (const char* pattern : {".*"}) {
        server.Get(pattern, handle);
        server.Post(pattern, handle);
        server.Put(pattern, handle);
        server.Delete(pattern, handle);
        server.Patch(pattern, handle);
        server.Options(pattern, handle);
    }
    server.set_error_handler(
        httplib::Server::HandlerWithResponse([](const httplib::Request& req, httplib::Response& res) {
            if (!res.body.empty())
                return httplib::Server::HandlerResponse::Unhandled;
            const int status = res.status;
            answer(res, StatusPage(status));
            log(QStringLiteral("%1 %2 %3 %4")
                    .arg(QString::fromStdString(req.remote_addr), QString::fromStdString(req.method),
                         QString::fromStdString(req.path))
                    .arg(status));
            return httplib::Server::HandlerResponse::Handled;
        }));

    // SIGTERM and SIGINT go to one thread that stops the server; the pool's threads, made after
    // this, inherit the blocked mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    const std::string host = address.host.toStdString();
    int port = address.port;
    if (port == 0)
        port = server.bind_to_any_port(host);
    else if (!server.bind_to_port(host, port))
        port = -1;
    if (port <= 0)
        throw std::runtime_error("cannot listen on " + options.listen.toStdString() +
                                 ": the address is not this machine's, or the port is in use or not allowed");

    std::thread stopper([&] {
        int received = 0;
        sigwait(&signals, &received);
        if (received != SIGUSR1)
            log(QStringLiteral("stopping: finishing the requests in flight"));
        server.stop();
    });
    std::printf("listening on https://%s:%d\n", qPrintable(urlHost(address.host)), port);
    std::fflush(stdout);
    log(QStringLiteral("serving %1 on https://%2:%3")
            .arg(QDir(options.siteDir).absolutePath(), urlHost(address.host))
            .arg(port));
    const bool ok = server.listen_after_bind();
    pthread_kill(stopper.native_handle(), SIGUSR1);
    stopper.join();
    if (!ok && server.is_running())
        throw std::runtime_error("the server stopped unexpectedly");
    log(QStringLiteral("stopped"));
}

} // namespace SiteServer
