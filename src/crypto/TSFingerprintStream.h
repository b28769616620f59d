#pragma once

#include "crypto/TSError.h"

#include <QString>
#include <QtGlobal>

#include <cstddef>
#include <optional>

// The fingerprint of a file of any size: one pass in fixed-size chunks that feeds the SHA-1
// digest (the same provider as TSCrypt::HashBinary) and, when a second file is given, writes the
// same bytes to it as they pass. The fingerprint is therefore that of exactly the bytes copied,
// even when the file changes while it is read, and memory does not grow with the file: a few
// chunk buffers, whatever its size. Hashing runs on a helper thread while the next chunk is read
// and written.
namespace TSFingerprintStream {

// The size of one chunk.
constexpr std::size_t kChunk = std::size_t(1) << 20;

struct Result {
    enum class Outcome {
        Done,        // read to the end (and every byte written)
        ReadFailed,  // reading failed
        WriteFailed, // writing the copy failed (a full disk, a file-size limit)
    };
    Outcome outcome = Outcome::ReadFailed;
    // The bytes read to the end (Done), or up to the failure.
    qint64 bytes = 0;
    // Done: the 40 upper-case hexadecimal digits of the digest, unless the crypto provider failed.
    std::optional<QString> fingerprint;
    // The crypto provider's failure, where it failed.
    std::optional<TSError> cryptoError;
};

// Reads fdIn from its current position to its end; writes each chunk to fdCopy as well when
// fdCopy is not -1 (starting its write-back to disk as it goes; flushing it is the caller's).
Result Run(int fdIn, int fdCopy = -1);

} // namespace TSFingerprintStream
