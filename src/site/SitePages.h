#pragma once

#include "sitedb/SiteDatabase.h"

#include <QString>

// The service's pages: complete HTML documents in UTF-8 (declared in a meta element as well as
// in the Content-Type header), self-contained (no external resources). Every text that came
// from outside (a document name, a user name, a reason built from them) is escaped here.
//
// The pages the client reads (the first pages and the replies to the two registration posts)
// carry no text that a user sent: the client takes any "error:" in them as a refusal.
namespace SitePages {

enum class FirstPage { CertificateLogin, PasswordRegistration, Verification };

QString First(FirstPage page);

// A refusal: the code ("error:...") in the page, nothing else from the request.
QString Refusal(const QString& code);

// A plain page for people: a heading and one paragraph, both escaped.
QString Message(const QString& title, const QString& text);

// The reply to an accepted registration: the site signature between its markers (password
// method; empty for the certificate method) and the form that leads to the receipt page.
QString Accepted(const QString& siteSignature, const QString& receiptId);

// The receipt of one registration, shown once through its receipt id.
QString Receipt(const Registration& registration);

// The verify page: verified with the registration's details, or not verified with the reason.
// Carries <meta name="tessaro-verification" content="verified"> or content="not-verified".
QString Verified(const Registration& registration, const QString& copyName);
QString NotVerified(const QString& reason);

// Where the receipt form posts, and its field.
inline constexpr char ReceiptPath[] = "/scripts/register/receipt.asp";
inline constexpr char ReceiptField[] = "receipt";

} // namespace SitePages
