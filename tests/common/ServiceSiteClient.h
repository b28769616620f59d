#pragma once

// Requests to the service (or to nginx before it) over HTTPS as the client makes them, for the tests
// and benchmarks that link cpp-httplib.
//
//   auto c = sitehttp::Client(site.port(), site.rootCertificatePath());
//   const sitehttp::Reply r = sitehttp::Post(*c, Path::Password,
//       sitehttp::Form(TSSiteExchange::PasswordRegistrationFields(name, sitehttp::Fingerprint(1), user,
//       pw)));

#include "protocol/TSSiteExchange.h"

#include <QCryptographicHash>
#include <QUrl>
#include <memory>
#include <string>

#include <httplib.h>

namespace sitehttp {

// A keep-alive client of https://127.0.0.1:port that trusts the site's root.pem alone.
inline std::unique_ptr<httplib::SSLClient> Client(int port, const QString& rootPem) {
    auto c = std::make_unique<httplib::SSLClient>("127.0.0.1", port);
    c->set_ca_cert_path(rootPem.toStdString().c_str());
    c->enable_server_certificate_verification(true);
    c->set_keep_alive(true);
    c->set_connection_timeout(5);
    c->set_read_timeout(90);
    return c;
}

// An application/x-www-form-urlencoded body.
inline std::string Form(const TSSiteExchange::FormFields& fields) {
    std::string body;
    for (const auto& field : fields)
        body += (body.empty() ? "" : "&") + QUrl::toPercentEncoding(field.first).toStdString() + "=" +
                QUrl::toPercentEncoding(field.second).toStdString();
    return body;
}

// A document fingerprint: 40 upper-case hexadecimal digits, one for each n.
inline QString Fingerprint(int n) {
    return QString::fromLatin1(
        QCryptographicHash::hash(QByteArray::number(n), QCryptographicHash::Sha1).toHex().toUpper());
}

// An answer: status 0 when none came; the session cookie (name=value) a first page sets.
struct Reply {
    int status = 0;
    QString body;
    std::string cookie;
    // Whether the page refuses, as the client tells it: any "error:" in any letter case.
    bool refused() const { return body.contains(QLatin1String("error:"), Qt::CaseInsensitive); }
};

inline Reply Answer(const httplib::Result& r) {
    if (!r)
        return {};
    const std::string cookie = r->get_header_value("Set-Cookie");
    return {r->status, QString::fromStdString(r->body), cookie.substr(0, cookie.find(';'))};
}

inline Reply Get(httplib::SSLClient& c, const std::string& path) {
    return Answer(c.Get(path.c_str()));
}

inline Reply Post(httplib::SSLClient& c, const std::string& path, const std::string& body,
                  const std::string& cookie = {}) {
    httplib::Headers headers;
    if (!cookie.empty())
        headers.emplace("Cookie", cookie);
    return Answer(c.Post(path.c_str(), headers, body, "application/x-www-form-urlencoded"));
}

} // namespace sitehttp
