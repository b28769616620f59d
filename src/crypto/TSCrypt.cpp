#include "crypto/TSCrypt.h"
#include "crypto/Encodings.h"
#include "crypto/TSFingerprintStream.h"

#include <QScopeGuard>

#include <openssl/err.h>
#include <openssl/evp.h>

#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Error numbers: the object-error base plus a code, and two runtime-style numbers.
constexpr qint32 kObjectError = static_cast<qint32>(0x80040000u);
constexpr qint32 kErrEmptyString = kObjectError + 0x1;   // -2147221503
constexpr qint32 kErrCryptoLibrary = kObjectError + 0x2; // -2147221502
constexpr qint32 kErrProcessing = kObjectError + 0x4;    // -2147221500
constexpr qint32 kErrBadData = kObjectError + 0xE;       // -2147221490
constexpr qint32 kErrBadCharacter = 2;
constexpr qint32 kErrOutOfMemory = 7;
static_assert(kErrEmptyString == -2147221503 && kErrBadData == -2147221490);

const QString kSource = QStringLiteral("TSCrypt");
const QString kDecoderSource = QStringLiteral("Base64Decode");

constexpr int kSha1Length = 20;
constexpr qsizetype kLineChars = 76;                 // characters per output line
constexpr qsizetype kLineBytes = kLineChars / 4 * 3; // input bytes per full line

TSError emptyStringError() {
    return TSError(kErrEmptyString, kSource, QStringLiteral("Empty string value passed"));
}

TSError badBase64Error() {
    return TSError(kErrBadData, kSource, QStringLiteral("Bad or empty Base64 String"));
}

TSError outOfMemoryError() {
    return TSError(kErrOutOfMemory, kSource, QStringLiteral("Out of memory"));
}

// The crypto library's failure; its own error queue is cleared so that nothing stale is left
// for the next OpenSSL user on this thread.
TSError cryptoLibraryError(const char* step) {
    ERR_clear_error();
    return TSError(kErrCryptoLibrary, kSource,
                   QStringLiteral("Cannot access crypto library") + QLatin1StringView(step));
}

TSError processingFailure(qint32 number, const QString& description) {
    return TSError(kErrProcessing, kSource,
                   QStringLiteral("Binary processing failure - HashBinary:") + QString::number(number) +
                       QLatin1Char(':') + description + QStringLiteral("\r\n"));
}

// Output buffers; running out of memory becomes an error like any other failure.
QString newText(qsizetype length) {
    try {
        return QString(length, Qt::Uninitialized);
    } catch (const std::bad_alloc&) {
        throw outOfMemoryError();
    }
}

QByteArray newBytes(qsizetype length) {
    try {
        return QByteArray(length, Qt::Uninitialized);
    } catch (const std::bad_alloc&) {
        throw outOfMemoryError();
    }
}

char16_t* writableUtf16(QString& text) {
    return reinterpret_cast<char16_t*>(text.data());
}

// The fingerprint text of a digest: two upper-case hexadecimal digits per byte.
QString hexText(const unsigned char* digest) {
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    QString hex = newText(2 * kSha1Length);
    char16_t* d = writableUtf16(hex);
    for (int i = 0; i < kSha1Length; ++i) {
        *d++ = static_cast<char16_t>(kHexDigits[digest[i] >> 4]);
        *d++ = static_cast<char16_t>(kHexDigits[digest[i] & 0xF]);
    }
    return hex;
}

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char16_t kPad = u'=';

// Two output characters for every 12-bit value, so that a group of three bytes takes two lookups.
struct PairTable {
    char16_t pair[4096][2];
};
constexpr PairTable makePairTable() {
    PairTable t{};
    for (int v = 0; v < 4096; ++v) {
        t.pair[v][0] = static_cast<char16_t>(kAlphabet[v >> 6]);
        t.pair[v][1] = static_cast<char16_t>(kAlphabet[v & 63]);
    }
    return t;
}
constexpr PairTable kPairs = makePairTable();

inline void encodeGroup(const uchar* s, char16_t* d) {
    const quint32 v = quint32(s[0]) << 16 | quint32(s[1]) << 8 | s[2];
    std::memcpy(d, kPairs.pair[v >> 12], sizeof(kPairs.pair[0]));
    std::memcpy(d + 2, kPairs.pair[v & 0xFFF], sizeof(kPairs.pair[0]));
}

// Decoder classes of the Latin-1 characters: a digit 0..63, the pad, a character that is
// skipped (tab, space), CR (skipped only when LF follows), or anything else.
constexpr quint8 kDigitPad = 64;
constexpr quint8 kSkip = 0x80;
constexpr quint8 kCarriageReturn = 0x81;
constexpr quint8 kBad = 0xFF;
constexpr std::array<quint8, 256> makeDecodeTable() {
    std::array<quint8, 256> t{};
    for (auto& v : t)
        v = kBad;
    for (int i = 0; i < 64; ++i)
        t[static_cast<uchar>(kAlphabet[i])] = static_cast<quint8>(i);
    t['='] = kDigitPad;
    t['\t'] = kSkip;
    t[' '] = kSkip;
    t['\r'] = kCarriageReturn;
    return t;
}
constexpr std::array<quint8, 256> kDecode = makeDecodeTable();

inline quint8 decodeClass(char16_t c) {
    return c < 256 ? kDecode[c] : kBad;
}

// True when the characters at i start something the decoder ignores; sets the count to skip.
inline bool ignorable(const char16_t* s, qsizetype i, qsizetype n, qsizetype& skip) {
    const char16_t c = s[i];
    if (c == u'\t' || c == u' ') {
        skip = 1;
        return true;
    }
    if (c == u'\r' && i + 1 < n && s[i + 1] == u'\n') {
        skip = 2;
        return true;
    }
    return false;
}

} // namespace

void TSCrypt::ReleaseCryptContext(evp_md_ctx_st*& hProv) {
    if (hProv != nullptr) {
        EVP_MD_CTX_free(hProv);
        hProv = nullptr;
    }
}

void TSCrypt::DestroyCryptHash(evp_md_ctx_st*& hHash) {
    if (hHash != nullptr) {
        EVP_MD_CTX_reset(hHash);
        hHash = nullptr;
    }
}

QVariant TSCrypt::HashBinary(const QByteArray& bDataToHash, qint32 lReturnType) {
    if (bDataToHash.isEmpty())
        throw emptyStringError();
    if (lReturnType < HashReturnBase64 || lReturnType > HashReturnBinary)
        lReturnType = HashReturnBase64;

    // The context is the digest context; the hash object is that context once it has been set up
    // for SHA-1. Every exit destroys the hash object first and then releases the context.
    EVP_MD_CTX* hProv = nullptr;
    EVP_MD_CTX* hHash = nullptr;
    const auto release = qScopeGuard([&] {
        DestroyCryptHash(hHash);
        ReleaseCryptContext(hProv);
    });

    hProv = EVP_MD_CTX_new();
    if (hProv == nullptr)
        throw cryptoLibraryError("- CryptAcquireContext");

    if (EVP_DigestInit_ex2(hProv, EVP_sha1(), nullptr) != 1)
        throw cryptoLibraryError("- CryptCreateHash");
    hHash = hProv;

    // All bytes in one call, straight from the caller's buffer; the length is 64-bit.
    if (EVP_DigestUpdate(hHash, bDataToHash.constData(), static_cast<size_t>(bDataToHash.size())) != 1)
        throw cryptoLibraryError("- CryptHashData");

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = kSha1Length;
    if (EVP_DigestFinal_ex(hHash, digest, &digestLength) != 1 || digestLength != kSha1Length)
        throw cryptoLibraryError("- CryptGetHashParam");

    QVariant result;
    try {
        switch (lReturnType) {
        case HashReturnHex:
            result = hexText(digest);
            break;
        case HashReturnBinary:
            result = QByteArray(reinterpret_cast<const char*>(digest), kSha1Length);
            break;
        default:
            result = Base64EncodeBinary(
                QByteArray::fromRawData(reinterpret_cast<const char*>(digest), kSha1Length));
            break;
        }
    } catch (const TSError& e) {
        throw processingFailure(e.number(), e.description());
    } catch (const std::bad_alloc&) {
        throw processingFailure(kErrOutOfMemory, QStringLiteral("Out of memory"));
    }
    return result;
}

QString TSCrypt::Base64EncodeString(const QString& sInData) {
    if (sInData.isEmpty() || (sInData.size() == 1 && sInData.at(0).unicode() == 0))
        throw emptyStringError();
    QByteArray bytes;
    try {
        bytes = Utf16LeBytes(sInData);
    } catch (const std::bad_alloc&) {
        throw outOfMemoryError();
    }
    return Base64EncodeBinary(bytes);
}

QString TSCrypt::Base64EncodeBinary(const QByteArray& bInData) {
    const qsizetype n = bInData.size();
    if (n == 0)
        throw TSError(kErrBadData, kSource, QStringLiteral("No data passed in argument"));

    const qsizetype chars = (n + 2) / 3 * 4;
    const qsizetype lineBreaks = (chars - 1) / kLineChars;
    QString out = newText(chars + 2 * lineBreaks);
    char16_t* d = writableUtf16(out);
    const uchar* s = reinterpret_cast<const uchar*>(bInData.constData());

    // Full lines, each followed by CR LF because more output follows.
    qsizetype left = n;
    while (left > kLineBytes) {
        for (int g = 0; g < kLineBytes / 3; ++g, s += 3, d += 4)
            encodeGroup(s, d);
        *d++ = u'\r';
        *d++ = u'\n';
        left -= kLineBytes;
    }
    // The last line: whole groups, then one or two bytes padded with "=" or "==".
    for (; left >= 3; left -= 3, s += 3, d += 4)
        encodeGroup(s, d);
    if (left > 0) {
        const uchar tail[3] = {s[0], left == 2 ? s[1] : uchar(0), 0};
        encodeGroup(tail, d);
        d[3] = kPad;
        if (left == 1)
            d[2] = kPad;
    }
    return out;
}

QString TSCrypt::Base64DecodeToString(QString base64String) {
    QByteArray bytes;
    try {
        bytes = Base64DecodeToBinary(std::move(base64String));
    } catch (const TSError&) {
        throw badBase64Error();
    }
    // A byte left over would be half a character: refuse rather than lose it.
    if (bytes.size() % 2 != 0)
        throw badBase64Error();
    try {
        return Utf16LeText(bytes);
    } catch (const std::bad_alloc&) {
        throw outOfMemoryError();
    }
}

QByteArray TSCrypt::Base64DecodeToBinary(QString base64String) {
    const char16_t* s = reinterpret_cast<const char16_t*>(base64String.constData());
    const qsizetype n = base64String.size();

    // Every complete group of four characters comes from the input, so n / 4 groups at most.
    QByteArray out = newBytes(n / 4 * 3);
    uchar* const begin = reinterpret_cast<uchar*>(out.data());
    uchar* d = begin;

    qsizetype kept = 0; // characters left after CR LF pairs, tabs and spaces are removed
    quint32 value = 0;
    int digits = 0;
    int pads = 0;
    bool badCharacter = false;
    qsizetype i = 0;
    while (i < n) {
        // Fast path: four alphabet characters at a group boundary.
        if (digits == 0 && n - i >= 4) {
            const char16_t c0 = s[i], c1 = s[i + 1], c2 = s[i + 2], c3 = s[i + 3];
            if (((c0 | c1 | c2 | c3) & 0xFF00) == 0) {
                const quint8 d0 = kDecode[c0], d1 = kDecode[c1], d2 = kDecode[c2], d3 = kDecode[c3];
                if ((d0 | d1 | d2 | d3) < 64) {
                    const quint32 v = quint32(d0) << 18 | quint32(d1) << 12 | quint32(d2) << 6 | d3;
                    d[0] = uchar(v >> 16);
                    d[1] = uchar(v >> 8);
                    d[2] = uchar(v);
                    d += 3;
                    i += 4;
                    kept += 4;
                    continue;
                }
            }
        }
        const quint8 code = decodeClass(s[i]);
        if (code <= kDigitPad) {
            value = value << 6 | (code == kDigitPad ? 0 : code);
            pads += code == kDigitPad;
            ++kept;
            ++i;
            if (++digits == 4) {
                // Three bytes less one per "=", most significant first.
                const int count = 3 - pads;
                for (int b = 0; b < count; ++b)
                    *d++ = uchar(value >> (16 - 8 * b));
                value = 0;
                digits = 0;
                pads = 0;
            }
            continue;
        }
        qsizetype skip = 0;
        if (ignorable(s, i, n, skip)) {
            i += skip;
            continue;
        }
        badCharacter = true;
        break;
    }

    // After a bad character only the length is still needed: a length error takes precedence.
    while (i < n) {
        qsizetype skip = 0;
        if (ignorable(s, i, n, skip)) {
            i += skip;
        } else {
            ++kept;
            ++i;
        }
    }

    if (kept == 0 || kept % 4 != 0)
        throw badBase64Error();
    if (badCharacter)
        throw TSError(kErrBadCharacter, kDecoderSource, QStringLiteral("Bad character In Base64 string."));
    // Groups made only of "=" yield nothing; no bytes at all is as empty as no text.
    if (d == begin)
        throw badBase64Error();
    out.resize(d - begin);
    return out;
}

// ---------------------------------------------------------------------------------------------

namespace TSFingerprintStream {

namespace {

// Buffers in flight: one being read and written, the others waiting for or in the digest.
constexpr int kBuffers = 4;

// Reads up to size bytes, fewer only at the end of the file. -1 when reading fails.
ssize_t readChunk(int fd, char* buffer, size_t size) {
    size_t filled = 0;
    while (filled < size) {
        const ssize_t got = ::read(fd, buffer + filled, size - filled);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        filled += size_t(got);
    }
    return ssize_t(filled);
}

bool writeChunk(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t put = ::write(fd, data, size);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        data += put;
        size -= size_t(put);
    }
    return true;
}

// The digest on its own thread: chunks come in by queue and their buffers go back when hashed.
class Digest {
public:
    Digest() : m_thread([this] { run(); }) {}
    ~Digest() { finish(); }

    // A free buffer, waiting for one while all are in the digest.
    char* freeBuffer() {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return !m_free.empty(); });
        char* buffer = m_free.back();
        m_free.pop_back();
        return buffer;
    }
    void hash(char* buffer, size_t size) {
        {
            const std::lock_guard lock(m_mutex);
            m_queue.push_back({buffer, size});
        }
        m_changed.notify_all();
    }
    void giveBack(char* buffer) {
        {
            const std::lock_guard lock(m_mutex);
            m_free.push_back(buffer);
        }
        m_changed.notify_all();
    }
    // Waits for every chunk given; then the fingerprint or the provider's failure.
    void finish() {
        {
            const std::lock_guard lock(m_mutex);
            m_ending = true;
        }
        m_changed.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }
    std::optional<QString> fingerprint;
    std::optional<TSError> error;

private:
    struct Chunk {
        char* data;
        size_t size;
    };

    void run() {
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        if (context == nullptr)
            error = cryptoLibraryError("- CryptAcquireContext");
        else if (EVP_DigestInit_ex2(context, EVP_sha1(), nullptr) != 1)
            error = cryptoLibraryError("- CryptCreateHash");
        for (;;) {
            Chunk chunk{};
            {
                std::unique_lock lock(m_mutex);
                m_changed.wait(lock, [this] { return !m_queue.empty() || m_ending; });
                if (m_queue.empty())
                    break;
                chunk = m_queue.front();
                m_queue.pop_front();
            }
            // After a failure the chunks still pass, so that reading goes on to its own end.
            if (!error && EVP_DigestUpdate(context, chunk.data, chunk.size) != 1)
                error = cryptoLibraryError("- CryptHashData");
            giveBack(chunk.data);
        }
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (!error && (EVP_DigestFinal_ex(context, digest, &length) != 1 || length != kSha1Length))
            error = cryptoLibraryError("- CryptGetHashParam");
        EVP_MD_CTX_free(context);
        if (!error) {
            try {
                fingerprint = hexText(digest);
            } catch (const TSError& e) {
                error = e;
            }
        }
    }

    std::vector<std::unique_ptr<char[]>> m_buffers = [] {
        std::vector<std::unique_ptr<char[]>> buffers;
        for (int i = 0; i < kBuffers; ++i)
            buffers.push_back(std::make_unique_for_overwrite<char[]>(kChunk));
        return buffers;
    }();
    std::vector<char*> m_free = [this] {
        std::vector<char*> free;
        for (const auto& buffer : m_buffers)
            free.push_back(buffer.get());
        return free;
    }();
    std::deque<Chunk> m_queue;
    bool m_ending = false;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::thread m_thread;
};

} // namespace

Result Run(int fdIn, int fdCopy) {
    Result result;
    // The file is read once, front to back: the kernel may read ahead further and sooner.
    ::posix_fadvise(fdIn, 0, 0, POSIX_FADV_SEQUENTIAL);
    Digest digest;
    result.outcome = Result::Outcome::Done;
    for (;;) {
        char* buffer = digest.freeBuffer();
        const ssize_t got = readChunk(fdIn, buffer, kChunk);
        if (got <= 0) {
            digest.giveBack(buffer);
            if (got < 0)
                result.outcome = Result::Outcome::ReadFailed;
            break;
        }
        if (fdCopy >= 0) {
            if (!writeChunk(fdCopy, buffer, size_t(got))) {
                digest.giveBack(buffer);
                result.outcome = Result::Outcome::WriteFailed;
                break;
            }
            // Write-back starts now rather than at the flush, while the rest is still read.
            ::sync_file_range(fdCopy, result.bytes, got, SYNC_FILE_RANGE_WRITE);
        }
        digest.hash(buffer, size_t(got));
        result.bytes += got;
    }
    digest.finish();
    result.cryptoError = digest.error;
    if (result.outcome == Result::Outcome::Done)
        result.fingerprint = digest.fingerprint;
    return result;
}

} // namespace TSFingerprintStream
