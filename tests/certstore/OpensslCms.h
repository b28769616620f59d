#pragma once

// Signed-data messages made and read with OpenSSL's own CMS code, independently of the library
// under test, for interoperation tests (TestPki does the work).

#include "common/TestPki.h"

namespace opensslcms {

using Options = testpki::PostOptions;
using Parsed = testpki::Parsed;
using testpki::parse;

// Signs with a self-signed RSA certificate "CN=Outside Signer" made for this process (never in any
// NSS database). Returns DER, or an empty array with *error set.
QByteArray sign(const Options& options, QString* error);

} // namespace opensslcms
