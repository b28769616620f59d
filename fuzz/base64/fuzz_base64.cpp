// Any text given to the Base64 decoder ends in bytes or a TSError. The first input byte picks how
// the rest becomes text: even as Latin-1 (dense in alphabet characters), odd as UTF-16LE. The
// result must match the plain decoder's, re-encoding must give the same bytes back, and decoding
// to text must either fail with the decoder's one error or give those bytes as UTF-16LE.
#include "Base64Reference.h"
#include "crypto/TSCrypt.h"

#include <QtEndian>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <variant>

namespace {

bool sameError(const TSError& a, const TSError& b) {
    return a.number() == b.number() && a.source() == b.source() && a.description() == b.description();
}

void check(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const char* rest = reinterpret_cast<const char*>(data + 1);
    const qsizetype restSize = qsizetype(size - 1);
    QString text;
    if ((data[0] & 1) == 0) {
        text = QString::fromLatin1(rest, restSize);
    } else {
        text.resize(restSize / 2);
        qFromLittleEndian<quint16>(rest, text.size(), text.data());
    }

    TSCrypt crypto;
    const std::variant<QByteArray, TSError> expected = referenceBase64Decode(text);
    try {
        const QByteArray bytes = crypto.Base64DecodeToBinary(text);
        check(std::holds_alternative<QByteArray>(expected) && std::get<QByteArray>(expected) == bytes);
        check(crypto.Base64DecodeToBinary(crypto.Base64EncodeBinary(bytes)) == bytes);
    } catch (const TSError& e) {
        check(std::holds_alternative<TSError>(expected) && sameError(e, std::get<TSError>(expected)));
    }

    try {
        const QString decoded = crypto.Base64DecodeToString(text);
        check(std::holds_alternative<QByteArray>(expected));
        const QByteArray& bytes = std::get<QByteArray>(expected);
        check(bytes.size() == 2 * decoded.size());
        for (qsizetype i = 0; i < decoded.size(); ++i)
            check(decoded.at(i).unicode() == (uchar(bytes[2 * i]) | uchar(bytes[2 * i + 1]) << 8));
    } catch (const TSError& e) {
        check(e.number() == -2147221490 && e.source() == QLatin1String("TSCrypt") &&
              e.description() == QLatin1String("Bad or empty Base64 String"));
    }
    return 0;
}
