#pragma once

#include <QString>

// Serves a site folder over HTTPS (TLS 1.2 or later) until SIGTERM or SIGINT, then finishes the
// requests in flight and returns. Prints "listening on https://ADDR:PORT" on standard output once
// it accepts connections; logs one line a request on standard error. Throws std::runtime_error
// (words a user can act on) when the site cannot be loaded or the address cannot be bound.
namespace SiteServer {

struct Options {
    QString siteDir;
    QString listen = QStringLiteral("127.0.0.1:8443"); // ADDR:PORT, [v6]:PORT; port 0 picks a free one
    int threads = 64; // worker threads, each with its own database connection
};

void Serve(const Options& options);

// "ADDR:PORT" split; throws std::runtime_error for anything else.
struct Address {
    QString host; // without brackets
    int port = 0;
};
Address ParseListen(const QString& text);

} // namespace SiteServer
