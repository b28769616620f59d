#pragma once

// The unavoidable work of one certificate registration, in process: the check of the posted
// signed data and the site's time stamp. The service benchmark measures it in the same run as its
// baseline (adding its durable insert), and bench_sitekeys measures it alone.

#include "common/TestPki.h"
#include "sitekeys/SiteKeys.h"

#include <QString>

class CertificateWork {
public:
    // siteDir holds a site (SiteKeys::Create); a CA made here is added to its trust anchors.
    explicit CertificateWork(const QString& siteDir);

    // A post as the client makes it: the `tessaro` field for fingerprint and document name,
    // signed now by a personal certificate issued under the trusted CA.
    QString Post(const QString& fingerprint, const QString& filename) const;

    // Checks a post and stamps its fingerprint; returns the token (empty when the post is refused).
    QByteArray Run(const QString& tessaroField, const QString& filename) const;

    const CertificatePostChecker& checker() const { return m_checker; }
    const TimeStamper& stamper() const { return m_stamper; }

private:
    testpki::Identity m_ca, m_issuing, m_signer;
    CertificatePostChecker m_checker;
    TimeStamper m_stamper;
};
