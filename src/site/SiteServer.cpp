#include "site/SiteServer.h"

#include "site/SiteHandler.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <httplib.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace SiteServer {

namespace {

constexpr size_t kMaxBody = 1024 * 1024;
constexpr time_t kKeepAliveSeconds = 5;
constexpr size_t kKeepAliveRequests = 100;
constexpr time_t kReadWriteSeconds = 10;

thread_local SiteWorker* tWorker = nullptr;

// One value of a log line: bare when it is a plain word, otherwise in double quotes with quotes,
// backslashes and control characters escaped, so that nothing a client sent can start a line of its own.
QString logValue(const QString& value) {
    bool plain = !value.isEmpty();
    QString quoted;
    for (const QChar c : value) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\')) {
            quoted += QLatin1Char('\\') + c;
        } else if (c.unicode() < 0x20 || c.unicode() == 0x7f || c.category() == QChar::Separator_Line ||
                   c.category() == QChar::Separator_Paragraph) {
            quoted += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        } else {
            quoted += c;
        }
        plain = plain && c.unicode() > 0x20 && c != QLatin1Char('"') && c != QLatin1Char('=') &&
                c != QLatin1Char('\\') && c.unicode() != 0x7f && c.unicode() < 0x80;
    }
    return plain ? value : QLatin1Char('"') + quoted + QLatin1Char('"');
}

// One line on standard error: the time, then key=value pairs (values without one are left out).
// Written with one call, so lines of concurrent requests never interleave.
void log(std::initializer_list<std::pair<const char*, QString>> fields) {
    QString line = QStringLiteral("time=") +
                   QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
    for (const auto& [key, value] : fields) {
        if (!value.isNull())
            line += QLatin1Char(' ') + QLatin1String(key) + QLatin1Char('=') + logValue(value);
    }
    const QByteArray text = line.toUtf8() + '\n';
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stderr);
}

void logEvent(const QString& event, const QString& detail = {}) {
    log({{"event", event}, {"detail", detail}});
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
            logEvent(QStringLiteral("database-unavailable"),
                     error + QStringLiteral(" (tried again at each request)"));
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
    res.set_content(response.body, response.contentType.c_str());
}

// The address's family and bytes; 0 when it is not an IP address.
int parseIp(const QString& text, unsigned char* bytes) {
    const QByteArray latin = text.toLatin1();
    if (inet_pton(AF_INET, latin.constData(), bytes) == 1)
        return AF_INET;
    if (inet_pton(AF_INET6, latin.constData(), bytes) == 1)
        return AF_INET6;
    return 0;
}

bool isIpAddress(const QString& host) {
    unsigned char buffer[sizeof(in6_addr)];
    return parseIp(host, buffer) != 0;
}

bool isLoopback(const QString& host) {
    unsigned char bytes[sizeof(in6_addr)] = {};
    switch (parseIp(host, bytes)) {
    case AF_INET:
        return bytes[0] == 127;
    case AF_INET6:
        return IN6_IS_ADDR_LOOPBACK(reinterpret_cast<const in6_addr*>(bytes));
    default:
        return false;
    }
}

QString urlHost(const QString& host) {
    return host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
}

// httplib's server, given a listening socket made here (httplib makes only TCP ones).
template <class Base> class AdoptingServer : public Base {
public:
    using Base::Base;
    void Adopt(int fd) { this->svr_sock_ = fd; }
};

// A listening Unix socket at path, reachable by its owner and group. A socket file left by a
// process that ended is replaced; anything else at path is refused.
int listenUnix(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (name.isEmpty() || static_cast<size_t>(name.size()) >= sizeof address.sun_path)
        throw std::runtime_error("the socket path \"" + path.toStdString() + "\" is empty or too long");
    std::memcpy(address.sun_path, name.constData(), static_cast<size_t>(name.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("cannot make a Unix socket");
    struct stat st = {};
    if (::lstat(name.constData(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode) ||
            ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
            errno != ECONNREFUSED) {
            ::close(fd);
            throw std::runtime_error("cannot listen on unix:" + path.toStdString() +
                                     ": something else is there, or another service listens on it");
        }
        ::unlink(name.constData());
    }
    const mode_t mask = ::umask(0117); // rw for owner and group from the start
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::umask(mask);
    if (!bound || ::listen(fd, SOMAXCONN) != 0) {
        const std::string why = std::strerror(errno);
        ::close(fd);
        throw std::runtime_error("cannot listen on unix:" + path.toStdString() + ": " + why);
    }
    return fd;
}

} // namespace

Address ParseListen(const QString& text) {
    if (text.startsWith(QLatin1String("unix:"))) {
        Address address;
        address.unixPath = text.mid(5);
        if (address.unixPath.isEmpty())
            throw OptionsError("--listen unix:PATH needs the socket's path");
        return address;
    }
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    bool number = false;
    const int port = colon > 0 ? text.mid(colon + 1).toInt(&number) : -1;
    QString host = colon > 0 ? text.left(colon) : QString();
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    if (!number || port < 0 || port > 65535 || text.mid(colon + 1).startsWith(QLatin1Char('+')) ||
        !isIpAddress(host))
        throw OptionsError("--listen takes ADDR:PORT with an IP address, as in 127.0.0.1:8443 or [::1]:8443 "
                           "(port 0 picks a free port), or unix:PATH; got \"" +
                           text.toStdString() + "\"");
    return {host, port, {}};
}

void CheckOptions(const Options& options) {
    const Address address = ParseListen(options.listen);
    if (options.plainHttp && address.unixPath.isEmpty() && !isLoopback(address.host))
        throw OptionsError("--plain-http serves without TLS, so only a reverse proxy on this machine may "
                           "reach it: listen on a loopback address (127.0.0.1, ::1) or a Unix socket "
                           "(unix:PATH), not on " +
                           options.listen.toStdString() +
                           ". Instances on other machines are reached over HTTPS.");
    ClientAddresses{options.trustedProxies};
}

ClientAddresses::ClientAddresses(const QStringList& trustedProxies) {
    for (const QString& text : trustedProxies) {
        Network network;
        if (text == QLatin1String("unix:")) {
            network.family = AF_UNIX;
            m_trusted.append(network);
            continue;
        }
        const QString address = text.section(QLatin1Char('/'), 0, 0);
        network.family = parseIp(address, network.bytes);
        const int bits = network.family == AF_INET ? 32 : 128;
        bool ok = network.family != 0 && text.count(QLatin1Char('/')) <= 1;
        network.prefix = bits;
        if (ok && text.contains(QLatin1Char('/'))) {
            const QString prefix = text.section(QLatin1Char('/'), 1);
            network.prefix = prefix.toInt(&ok);
            ok = ok && !prefix.startsWith(QLatin1Char('+')) && network.prefix >= 0 && network.prefix <= bits;
        }
        if (!ok)
            throw OptionsError("--trusted-proxy takes the proxy's IP address (127.0.0.1, ::1), a network "
                               "(10.0.0.0/8) or unix: (a proxy on the Unix socket); got \"" +
                               text.toStdString() + "\"");
        m_trusted.append(network);
    }
}

QString ClientAddresses::Of(const QString& peer, const QString& realIpHeader) const {
    unsigned char bytes[16] = {};
    const int family = peer.isEmpty() ? AF_UNIX : parseIp(peer, bytes);
    const QString self = family == AF_UNIX ? QStringLiteral("unix") : peer;
    bool trusted = false;
    for (const Network& n : m_trusted) {
        if (n.family != family)
            continue;
        bool inside = true;
        for (int bit = 0; bit < n.prefix && inside && family != AF_UNIX; ++bit)
            inside = ((bytes[bit / 8] ^ n.bytes[bit / 8]) & (0x80 >> (bit % 8))) == 0;
        trusted = trusted || inside;
    }
    const QString claimed = realIpHeader.trimmed();
    return trusted && isIpAddress(claimed) ? claimed : self;
}

namespace {

template <class Server> void run(const Options& options, const Address& address, Server& server) {
    const SiteContext context(options.siteDir);
    const ClientAddresses clients(options.trustedProxies);

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

    const auto clientOf = [&](const httplib::Request& req) {
        return clients.Of(QString::fromStdString(req.remote_addr),
                          QString::fromStdString(req.get_header_value("X-Real-IP")));
    };
    const auto handle = [&](const httplib::Request& req, httplib::Response& res) {
        const auto started = std::chrono::steady_clock::now();
        const SiteRequest request{
            req.method, req.path,     req.get_header_value("Content-Type"), req.get_header_value("Cookie"),
            req.body,   clientOf(req)};
        const SiteResponse response = HandleRequest(context, *tWorker, request);
        answer(res, response);
        const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - started;
        log({{"client", request.clientAddress},
             {"method", QString::fromStdString(req.method)},
             {"path", QString::fromStdString(req.path)},
             {"status", QString::number(response.status)},
             {"duration_ms", QString::number(took.count(), 'f', 1)},
             {"outcome", response.outcome},
             {"detail", response.detail.isEmpty() ? QString() : response.detail}});
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
        httplib::Server::HandlerWithResponse([&](const httplib::Request& req, httplib::Response& res) {
            if (!res.body.empty())
                return httplib::Server::HandlerResponse::Unhandled;
            const int status = res.status;
            answer(res, StatusPage(status));
            log({{"client", clientOf(req)},
                 {"method", QString::fromStdString(req.method)},
                 {"path", QString::fromStdString(req.path)},
                 {"status", QString::number(status)},
                 {"outcome", QStringLiteral("refused-by-http-layer")}});
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

    const QString scheme = options.plainHttp ? QStringLiteral("http") : QStringLiteral("https");
    QString where;
    if (!address.unixPath.isEmpty()) {
        server.Adopt(listenUnix(address.unixPath));
        where = QStringLiteral("unix:") + address.unixPath;
    } else {
        const std::string host = address.host.toStdString();
        int port = address.port;
        if (port == 0)
            port = server.bind_to_any_port(host);
        else if (!server.bind_to_port(host, port))
            port = -1;
        if (port <= 0)
            throw std::runtime_error(
                "cannot listen on " + options.listen.toStdString() +
                ": the address is not this machine's, or the port is in use or not allowed");
        where = QStringLiteral("%1://%2:%3").arg(scheme, urlHost(address.host)).arg(port);
    }

    std::thread stopper([&] {
        int received = 0;
        sigwait(&signals, &received);
        if (received != SIGUSR1)
            logEvent(QStringLiteral("stopping"), QStringLiteral("finishing the requests in flight"));
        server.stop();
    });
    std::printf("listening on %s\n", qPrintable(where));
    std::fflush(stdout);
    log({{"event", QStringLiteral("serving")},
         {"site", QDir(options.siteDir).absolutePath()},
         {"listen", where},
         {"tls", options.plainHttp ? QStringLiteral("no") : QStringLiteral("yes")}});
    const bool ok = server.listen_after_bind();
    pthread_kill(stopper.native_handle(), SIGUSR1);
    stopper.join();
    if (!address.unixPath.isEmpty())
        ::unlink(QFile::encodeName(address.unixPath).constData());
    if (!ok && server.is_running())
        throw std::runtime_error("the server stopped unexpectedly");
    logEvent(QStringLiteral("stopped"));
}

} // namespace

void Serve(const Options& options) {
    CheckOptions(options);
    const Address address = ParseListen(options.listen);
    if (options.plainHttp) {
        AdoptingServer<httplib::Server> server;
        run(options, address, server);
        return;
    }
    const std::string certPath = QDir(options.siteDir).filePath(QStringLiteral("tls-cert.pem")).toStdString();
    const std::string keyPath = QDir(options.siteDir).filePath(QStringLiteral("tls-key.pem")).toStdString();
    AdoptingServer<httplib::SSLServer> server([&](SSL_CTX& ctx) {
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
    run(options, address, server);
}

} // namespace SiteServer
