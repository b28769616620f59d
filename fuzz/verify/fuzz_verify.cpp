// Fuzzes SignedData::Verify, the reading of certificate records. The first byte picks the form:
// odd, the rest is a message in binary that is handed over as its Base64 text (reaching the
// message parser); even, the rest is taken as the record text itself (reaching the Base64
// decoder too). Every input must end in a result or a TSError, never in a crash.

#include "certstore/CertLibrary.h"

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const QByteArray rest(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));
    const QString text = (data[0] & 1) ? QString::fromLatin1(rest.toBase64()) : QString::fromLatin1(rest);
    SignedData signedData;
    try {
        signedData.Verify(text, false, 0);
        const Signers signers = signedData.Signers();
        for (qint32 i = 1; i <= signers.Count(); ++i) {
            const Signer s = signers.Item(i);
            const Attributes attributes = s.AuthenticatedAttributes();
            for (qint32 j = 1; j <= attributes.Count(); ++j)
                (void)attributes.Item(j).Value().toString();
            (void)s.Certificate().SubjectName();
        }
        (void)signedData.Content();
    } catch (const TSError&) {
    }
    return 0;
}
