#include "registration/TSRegistrationStore.h"

#include <QFile>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

// Hidden names of files being written and of pairs set aside begin so; they never end in
// ".p7s", so they are never listed as records.
constexpr char kHiddenPrefix[] = ".tessaro-";
// The number of random names tried before giving up on a folder full of them.
constexpr int kNameAttempts = 32;
// The largest single write or read; the system caps one call below 2 GiB anyway.
constexpr size_t kMaxChunk = size_t(1) << 30;

QByteArray encoded(const QString& path) {
    return QFile::encodeName(path);
}

QByteArray hiddenName(const QByteArray& folder) {
    const quint64 value = QRandomGenerator::system()->generate64();
    return folder + kHiddenPrefix + QByteArray::number(value, 16).rightJustified(16, '0');
}

// The folder part of a path, with its trailing "/".
QByteArray folderOf(const QByteArray& path) {
    return path.left(path.lastIndexOf('/') + 1);
}

int closeKeepingErrno(int fd) {
    const int saved = errno;
    const int result = ::close(fd);
    errno = saved;
    return result;
}

void syncFolder(const QByteArray& folder) {
    const int fd = ::open(folder.isEmpty() ? "." : folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd); // best effort: the files themselves are already on disk
    ::close(fd);
}

// Renames from to to only if no file is at to: renameat2 with RENAME_NOREPLACE, or, on file
// systems without it, a hard link then the removal of the old name.
bool renameNoReplace(const QByteArray& from, const QByteArray& to) {
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    if (::link(from.constData(), to.constData()) != 0)
        return false;
    if (::unlink(from.constData()) != 0) {
        ::unlink(to.constData()); // both names are the same file; keep the old one
        return false;
    }
    return true;
}

// Moves a file to a new hidden name in its own folder; the hidden name, or nothing.
std::optional<QByteArray> moveAside(const QByteArray& path) {
    const QByteArray folder = folderOf(path);
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const QByteArray aside = hiddenName(folder);
        if (renameNoReplace(path, aside))
            return aside;
        if (errno != EEXIST)
            return std::nullopt;
    }
    return std::nullopt;
}

bool writeAll(int fd, const char* data, qsizetype size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, std::min(size_t(size), kMaxChunk));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

// Writes data to a new hidden file in folder, created exclusively, made read-only and
// flushed to disk. Its path, or nothing (and no file left behind).
std::optional<QByteArray> writeHidden(const QByteArray& folder, const QByteArray& data) {
    QByteArray path;
    int fd = -1;
    for (int attempt = 0; attempt < kNameAttempts && fd < 0; ++attempt) {
        path = hiddenName(folder);
        fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return std::nullopt;
    }
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    const bool ok = writeAll(fd, data.constData(), data.size()) && ::fstat(fd, &st) == 0 &&
                    ::fchmod(fd, st.st_mode & 07777 & ~mode_t(0222)) == 0 && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !ok) {
        ::unlink(path.constData());
        return std::nullopt;
    }
    return path;
}

// Publishes a written hidden file under its final name if that name is free; the hidden file
// is removed when it cannot be published.
bool publish(const QByteArray& hidden, const QByteArray& path) {
    if (renameNoReplace(hidden, path))
        return true;
    ::unlink(hidden.constData());
    return false;
}

// Opens a regular file for reading without blocking on anything else (a pipe, a device).
int openRegularForReading(const QByteArray& path, struct stat* st) {
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (::fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
        closeKeepingErrno(fd);
        return -1;
    }
    return fd;
}

} // namespace

// ---------------------------------------------------------------------------------------------

TSOpenFile::~TSOpenFile() {
    Close();
}

bool TSOpenFile::Open(const QString& sPath) {
    Close();
    struct stat st {};
    m_fd = openRegularForReading(encoded(sPath), &st);
    if (m_fd < 0)
        return false;
    m_length = qint64(st.st_size);
    return true;
}

void TSOpenFile::Close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_length = 0;
}

std::optional<QByteArray> TSOpenFile::ReadAll() {
    if (m_fd < 0 || ::lseek(m_fd, 0, SEEK_SET) != 0)
        return std::nullopt;
    try {
        // One buffer of the length the file had when it was opened, filled in place: the bytes
        // are never copied, so a document needs its own size in memory and no more.
        QByteArray data(qsizetype(m_length), Qt::Uninitialized);
        qsizetype filled = 0;
        while (filled < data.size()) {
            const ssize_t got =
                ::read(m_fd, data.data() + filled, std::min(size_t(data.size() - filled), kMaxChunk));
            if (got < 0) {
                if (errno == EINTR)
                    continue;
                return std::nullopt;
            }
            if (got == 0) { // the file has shrunk since it was opened
                data.truncate(filled);
                return data;
            }
            filled += got;
        }
        // Whatever was added since it was opened.
        char more[65536];
        for (;;) {
            const ssize_t got = ::read(m_fd, more, sizeof more);
            if (got < 0) {
                if (errno == EINTR)
                    continue;
                return std::nullopt;
            }
            if (got == 0)
                return data;
            data.append(more, qsizetype(got));
        }
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

// ---------------------------------------------------------------------------------------------

TSSetAsidePair::TSSetAsidePair(TSSetAsidePair&& other) noexcept
    : m_pending(std::exchange(other.m_pending, false)), m_recordPath(std::move(other.m_recordPath)),
      m_copyPath(std::move(other.m_copyPath)), m_asideRecordPath(std::move(other.m_asideRecordPath)),
      m_asideCopyPath(std::move(other.m_asideCopyPath)) {}

TSSetAsidePair& TSSetAsidePair::operator=(TSSetAsidePair&& other) noexcept {
    if (this != &other) {
        PutBack();
        m_pending = std::exchange(other.m_pending, false);
        m_recordPath = std::move(other.m_recordPath);
        m_copyPath = std::move(other.m_copyPath);
        m_asideRecordPath = std::move(other.m_asideRecordPath);
        m_asideCopyPath = std::move(other.m_asideCopyPath);
    }
    return *this;
}

TSSetAsidePair::~TSSetAsidePair() {
    PutBack();
}

bool TSSetAsidePair::PutBack() {
    if (!m_pending)
        return true;
    // Each file goes back on its own; one that cannot stays hidden and the pair stays pending.
    if (!m_asideRecordPath.isEmpty() && renameNoReplace(encoded(m_asideRecordPath), encoded(m_recordPath)))
        m_asideRecordPath.clear();
    if (!m_asideCopyPath.isEmpty() && renameNoReplace(encoded(m_asideCopyPath), encoded(m_copyPath)))
        m_asideCopyPath.clear();
    m_pending = !m_asideRecordPath.isEmpty() || !m_asideCopyPath.isEmpty();
    if (!m_pending)
        syncFolder(folderOf(encoded(m_recordPath)));
    return !m_pending;
}

bool TSSetAsidePair::Discard() {
    if (!m_pending)
        return true;
    if (!m_asideRecordPath.isEmpty() && ::unlink(encoded(m_asideRecordPath).constData()) == 0)
        m_asideRecordPath.clear();
    if (!m_asideCopyPath.isEmpty() && ::unlink(encoded(m_asideCopyPath).constData()) == 0)
        m_asideCopyPath.clear();
    m_pending = !m_asideRecordPath.isEmpty() || !m_asideCopyPath.isEmpty();
    return !m_pending;
}

// ---------------------------------------------------------------------------------------------

TSRegistrationStore::TSRegistrationStore(const QString& sProgramFolder)
    : m_folder(FolderFor(sProgramFolder)) {}

QString TSRegistrationStore::FolderFor(const QString& sProgramFolder) {
    QString folder = sProgramFolder;
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return folder + QStringLiteral("Registered/");
}

QString TSRegistrationStore::RecordPath(const QString& sDocumentName) const {
    return m_folder + sDocumentName + QStringLiteral(".p7s");
}

QString TSRegistrationStore::CopyPath(const QString& sDocumentName) const {
    return m_folder + sDocumentName;
}

QString TSRegistrationStore::CopyPathForRecord(const QString& sRecordTitle, const QString& sExtension) const {
    const qsizetype keep = sRecordTitle.size() - sExtension.size() - 1;
    return m_folder + sRecordTitle.left(std::max<qsizetype>(keep, 0));
}

bool TSRegistrationStore::EnsureFolder() const {
    QByteArray path = encoded(m_folder);
    path.chop(1); // without the trailing "/", so that a file in the way is seen as one
    struct stat st {};
    if (::stat(path.constData(), &st) == 0)
        return S_ISDIR(st.st_mode);
    if (errno != ENOENT)
        return false;
    if (::mkdir(path.constData(), 0777) == 0)
        return true;
    // Created by someone else meanwhile, or a dangling link in the way.
    return errno == EEXIST && ::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool TSRegistrationStore::RecordExists(const QString& sDocumentName) const {
    struct stat st {};
    const int fd = openRegularForReading(encoded(RecordPath(sDocumentName)), &st);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

std::optional<QByteArray> TSRegistrationStore::ReadWholeFile(const QString& sPath) {
    TSOpenFile file;
    if (!file.Open(sPath))
        return std::nullopt;
    return file.ReadAll();
}

std::optional<QString> TSRegistrationStore::ReadRecord(const QString& sRecordPath) {
    const std::optional<QByteArray> bytes = ReadWholeFile(sRecordPath);
    if (!bytes)
        return std::nullopt;
    return QString::fromLocal8Bit(*bytes);
}

std::optional<TSSetAsidePair> TSRegistrationStore::SetAside(const QString& sDocumentName) const {
    const QByteArray record = encoded(RecordPath(sDocumentName));
    const QByteArray copy = encoded(CopyPath(sDocumentName));
    // Both must be there, and neither may be a folder: a folder is never taken for a file.
    for (const QByteArray& path : {record, copy}) {
        struct stat st {};
        if (::lstat(path.constData(), &st) != 0 || S_ISDIR(st.st_mode))
            return std::nullopt;
    }
    const std::optional<QByteArray> asideRecord = moveAside(record);
    if (!asideRecord)
        return std::nullopt;
    const std::optional<QByteArray> asideCopy = moveAside(copy);
    if (!asideCopy) {
        TSSetAsidePair half; // puts the record back when it goes out of scope
        half.m_pending = true;
        half.m_recordPath = RecordPath(sDocumentName);
        half.m_asideRecordPath = QFile::decodeName(*asideRecord);
        return std::nullopt;
    }
    TSSetAsidePair pair;
    pair.m_pending = true;
    pair.m_recordPath = RecordPath(sDocumentName);
    pair.m_copyPath = CopyPath(sDocumentName);
    pair.m_asideRecordPath = QFile::decodeName(*asideRecord);
    pair.m_asideCopyPath = QFile::decodeName(*asideCopy);
    return pair;
}

bool TSRegistrationStore::WriteNewFile(const QString& sPath, const QByteArray& bData) {
    const QByteArray path = encoded(sPath);
    const QByteArray folder = folderOf(path);
    const std::optional<QByteArray> hidden = writeHidden(folder, bData);
    if (!hidden || !publish(*hidden, path))
        return false;
    syncFolder(folder);
    return true;
}

TSStoreWriteResult TSRegistrationStore::WritePair(const QString& sDocumentName,
                                                  const QString& sRegistrationData,
                                                  const QByteArray& bDocument,
                                                  TSSetAsidePair* pSetAside) const {
    TSStoreWriteResult result;
    const QString recordPath = RecordPath(sDocumentName);
    const QString copyPath = CopyPath(sDocumentName);
    result.recordFailed = !WriteNewFile(recordPath, sRegistrationData.toLocal8Bit());
    result.copyFailed = !WriteNewFile(copyPath, bDocument);

    if (pSetAside && pSetAside->isPending()) {
        if (result.ok()) {
            pSetAside->Discard();
        } else {
            // The old pair comes back whole: the new file that did get written goes again.
            if (!result.recordFailed)
                ::unlink(encoded(recordPath).constData());
            if (!result.copyFailed)
                ::unlink(encoded(copyPath).constData());
            result.oldPairRestored = pSetAside->PutBack();
        }
    }
    return result;
}

bool TSRegistrationStore::RemoveEmptyCopy(const QString& sPath) {
    const QByteArray path = encoded(sPath);
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode) || st.st_size != 0 || !(st.st_mode & S_IWUSR))
        return false;
    return ::unlink(path.constData()) == 0;
}
