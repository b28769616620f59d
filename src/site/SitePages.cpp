#include "site/SitePages.h"

#include "protocol/TSSiteExchange.h"

namespace SitePages {

namespace {

QString esc(const QString& text) {
    return text.toHtmlEscaped();
}

const char kStyle[] = "body{font-family:sans-serif;max-width:46em;margin:2em auto;padding:0 1em;color:#222}"
                      "h1{font-size:1.4em}dt{font-weight:bold;margin-top:.6em}dd{margin-left:0;"
                      "word-break:break-all;font-family:monospace}button{font-size:1em}";

// A whole document; `head` and `body` are markup already escaped by the caller.
QString document(const QString& title, const QString& body, const QString& head = QString()) {
    return QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                          "<meta name=\"viewport\" content=\"width=device-width\">") +
           head + QStringLiteral("<title>") + esc(title) + QStringLiteral("</title><style>") +
           QLatin1String(kStyle) + QStringLiteral("</style></head>\n<body>\n") + body +
           QStringLiteral("\n</body></html>\n");
}

QString item(const QString& label, const QString& value) {
    return QStringLiteral("<dt>") + esc(label) + QStringLiteral("</dt><dd>") + esc(value) +
           QStringLiteral("</dd>");
}

QString details(const Registration& r) {
    return QStringLiteral("<dl>") + item(QStringLiteral("Document name"), r.name) +
           item(QStringLiteral("Fingerprint (SHA-1)"), r.fingerprint) +
           item(QStringLiteral("Registered (UTC)"),
                r.time.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'"))) +
           item(QStringLiteral("Registration number"), QString::number(r.number)) +
           item(QStringLiteral("Registered by"), r.owner) +
           item(QStringLiteral("Method"), r.method == QLatin1String("certificate")
                                              ? QStringLiteral("personal certificate")
                                              : QStringLiteral("user name and password")) +
           QStringLiteral("</dl>");
}

} // namespace

QString First(FirstPage page) {
    switch (page) {
    case FirstPage::CertificateLogin:
        return document(QStringLiteral("Tessaro Registration"),
                        QStringLiteral("<h1>Tessaro Registration</h1><p>Your session has started. The "
                                       "registration of your document continues.</p>"));
    case FirstPage::PasswordRegistration:
        return document(QStringLiteral("Tessaro Registration"),
                        QStringLiteral("<h1>Register a Document</h1><p>The registration of your document "
                                       "continues.</p>"));
    case FirstPage::Verification:
        return document(QStringLiteral("Tessaro Verification"),
                        QStringLiteral("<h1>Verify a Registered Document</h1><p>The verification of your "
                                       "document continues.</p>"));
    }
    return QString();
}

QString Refusal(const QString& code) {
    return document(QStringLiteral("Tessaro Registration"),
                    QStringLiteral("<h1>Not Registered</h1><p id=\"reply\">") + esc(code) +
                        QStringLiteral("</p>"));
}

QString Message(const QString& title, const QString& text) {
    return document(title, QStringLiteral("<h1>") + esc(title) + QStringLiteral("</h1><p>") + esc(text) +
                               QStringLiteral("</p>"));
}

QString Accepted(const QString& siteSignature, const QString& receiptId) {
    QString body = QStringLiteral("<h1>Registration Accepted</h1><p>Your document is registered.</p>\n");
    if (!siteSignature.isEmpty())
        body += QLatin1String(TSSiteExchange::SignatureStart) + esc(siteSignature) +
                QLatin1String(TSSiteExchange::SignatureEnd) + QLatin1Char('\n');
    body += QStringLiteral("<form id=\"") + TSSiteExchange::FormId() +
            QStringLiteral("\" method=\"post\" action=\"") + QLatin1String(ReceiptPath) +
            QStringLiteral("\"><input type=\"hidden\" name=\"") + QLatin1String(ReceiptField) +
            QStringLiteral("\" value=\"") + esc(receiptId) +
            QStringLiteral("\"><button type=\"submit\">Show the receipt</button></form>");
    return document(QStringLiteral("Tessaro Registration"), body);
}

QString Receipt(const Registration& r) {
    QString body =
        QStringLiteral("<h1>Registration Receipt</h1><p>This document is registered.</p>") + details(r);
    if (!r.token.isEmpty())
        body += QStringLiteral("<p>The site's time-stamp of this registration:</p><dl>") +
                item(QStringLiteral("Site record"), QLatin1String(TSSiteExchange::SiteRecordPrefix) +
                                                        QString::fromLatin1(r.token.toBase64())) +
                QStringLiteral("</dl>");
    return document(QStringLiteral("Registration Receipt"), body);
}

QString Verified(const Registration& r, const QString& copyName) {
    QString body = QStringLiteral("<h1>Verified</h1><p id=\"result\">The document is registered at this "
                                  "site, unchanged.</p>") +
                   details(r);
    if (copyName != r.name)
        body += QStringLiteral("<p>The copy checked is named ") + esc(copyName) + QStringLiteral(".</p>");
    return document(QStringLiteral("Tessaro Verification"), body,
                    QStringLiteral("<meta name=\"tessaro-verification\" content=\"verified\">"));
}

QString NotVerified(const QString& reason) {
    return document(QStringLiteral("Tessaro Verification"),
                    QStringLiteral("<h1>Not Verified</h1><p id=\"result\">") + esc(reason) +
                        QStringLiteral("</p>"),
                    QStringLiteral("<meta name=\"tessaro-verification\" content=\"not-verified\">"));
}

} // namespace SitePages
