#pragma once

#include <QString>
#include <QStringList>
#include <stdexcept>

// Serves a site folder over HTTPS (TLS 1.2 or later), or over plain HTTP behind a reverse proxy on
// the same machine, until SIGTERM or SIGINT, then finishes the requests in flight and returns. Prints
// "listening on https://ADDR:PORT" (http://..., or unix:PATH) on standard output once it accepts
// connections; logs one line a request on standard error. Throws std::runtime_error (words a user can
// act on) when the site cannot be loaded or the address cannot be bound.
namespace SiteServer {

struct Options {
    QString siteDir;
    QString listen = QStringLiteral("127.0.0.1:8443"); // ADDR:PORT, [v6]:PORT or unix:PATH; port 0 picks one
    bool plainHttp = false;                            // only on a loopback address or a Unix socket
    QStringList trustedProxies; // peers whose X-Real-IP header names the client: IP, IP/PREFIX or "unix:"
    int threads = 64;           // worker threads, each with its own database connection
};

// A command line that cannot be served as given (std::invalid_argument: a usage error).
struct OptionsError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// Checks the options without binding anything; throws OptionsError.
void CheckOptions(const Options& options);

void Serve(const Options& options);

// "ADDR:PORT" or "unix:PATH" split; throws OptionsError for anything else.
struct Address {
    QString host; // without brackets; empty for a Unix socket
    int port = 0;
    QString unixPath;
};
Address ParseListen(const QString& text);

// The client's address: the X-Real-IP header's address when the peer is one of the trusted proxies
// and the header holds an IP address; otherwise the peer's own ("unix" for a Unix-socket peer).
class ClientAddresses {
public:
    explicit ClientAddresses(const QStringList& trustedProxies); // throws OptionsError
    QString Of(const QString& peer, const QString& realIpHeader) const;

private:
    struct Network {
        int family = 0; // AF_INET, AF_INET6, or AF_UNIX for "unix:"
        unsigned char bytes[16] = {};
        int prefix = 0;
    };
    QList<Network> m_trusted;
};

} // namespace SiteServer
