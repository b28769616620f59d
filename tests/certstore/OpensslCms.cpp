#include "OpensslCms.h"

#include <stdexcept>

QByteArray opensslcms::sign(const Options& options, QString* error) {
    try {
        static const testpki::Identity outside =
            testpki::issue({.commonName = "Outside Signer", .rsa = true});
        return testpki::signPost(outside, options);
    } catch (const std::runtime_error& e) {
        *error = QString::fromStdString(e.what());
        return {};
    }
}
