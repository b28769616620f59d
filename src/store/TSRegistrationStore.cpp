#include "store/TSRegistrationStore.h"

#include <QFile>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <new>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// Work folders begin so; they never end in ".p7s", so they are never listed as records.
constexpr char kWorkPrefix[] = ".tessaro-";
// Inside a work folder: the old pair, the new copy, and the new record.
constexpr char kOld[] = "old";
constexpr char kNew[] = "new";
constexpr char kRecord[] = "record";
// The number of random names tried before giving up on a folder full of them.
constexpr int kNameAttempts = 32;
// The largest single write or read; the system caps one call below 2 GiB anyway.
constexpr size_t kMaxChunk = size_t(1) << 30;

QByteArray encoded(const QString& path) {
    return QFile::encodeName(path);
}

// Whether this user may write into the folder, read from its mode bits and owner as for anyone
// else (root included), and from whether its file system is mounted read-only. A folder that
// cannot be examined counts as writable: the store then goes beside it as always, and making it
// reports the problem.
bool folderWritableByUser(const QByteArray& path) {
    struct stat st {};
    if (::stat(path.constData(), &st) != 0)
        return true;
    struct statvfs fs {};
    if (::statvfs(path.constData(), &fs) == 0 && (fs.f_flag & ST_RDONLY))
        return false;
    if (st.st_uid == ::geteuid())
        return st.st_mode & S_IWUSR;
    bool member = st.st_gid == ::getegid();
    std::vector<gid_t> groups(size_t(std::max(::getgroups(0, nullptr), 0)));
    const int count = ::getgroups(int(groups.size()), groups.data());
    for (int i = 0; i < count && !member; ++i)
        member = groups[size_t(i)] == st.st_gid;
    return st.st_mode & (member ? S_IWGRP : S_IWOTH);
}

// The user's data folder: XDG_DATA_HOME when it holds an absolute path, else ~/.local/share.
QString userDataFolder() {
    const QString xdg = QFile::decodeName(qgetenv("XDG_DATA_HOME"));
    if (xdg.startsWith(QLatin1Char('/')))
        return xdg;
    QString home = QFile::decodeName(qgetenv("HOME"));
    if (home.endsWith(QLatin1Char('/')))
        home.chop(1);
    return home + QStringLiteral("/.local/share");
}

// Makes the missing folders above path, each readable by the user alone (the user's data folder
// at a first start). False when one cannot be made or something other than a folder is in the way.
bool makeParents(const QByteArray& path) {
    const qsizetype slash = path.lastIndexOf('/');
    if (slash <= 0)
        return true;
    const QByteArray parent = path.left(slash);
    struct stat st {};
    if (::stat(parent.constData(), &st) == 0)
        return S_ISDIR(st.st_mode);
    if (errno != ENOENT || !makeParents(parent))
        return false;
    return ::mkdir(parent.constData(), 0700) == 0 || errno == EEXIST;
}

int closeKeepingErrno(int fd) {
    const int saved = errno;
    const int result = ::close(fd);
    errno = saved;
    return result;
}

// A descriptor closed when it goes out of scope.
struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd >= 0)
            closeKeepingErrno(fd);
    }
};

int openFolderAt(int dir, const char* name) {
    return ::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool exists(int dir, const char* name, struct stat* st = nullptr) {
    struct stat local {};
    return ::fstatat(dir, name, st ? st : &local, AT_SYMLINK_NOFOLLOW) == 0;
}

// Renames only if no file has the new name: renameat2 with RENAME_NOREPLACE, or, on file
// systems without it, a hard link then the removal of the old name.
bool renameNoReplace(int fromDir, const char* from, int toDir, const char* to) {
    if (::renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    if (::linkat(fromDir, from, toDir, to, 0) != 0)
        return false;
    if (::unlinkat(fromDir, from, 0) != 0) {
        ::unlinkat(toDir, to, 0); // both names are the same file; keep the old one
        return false;
    }
    return true;
}

// The names in a folder, "." and ".." left out.
std::vector<QByteArray> namesIn(int dir) {
    std::vector<QByteArray> names;
    const int copy = ::dup(dir);
    if (copy < 0)
        return names;
    DIR* d = ::fdopendir(copy);
    if (!d) {
        ::close(copy);
        return names;
    }
    ::rewinddir(d);
    while (const dirent* entry = ::readdir(d)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(d);
    return names;
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

// Creates a new file exclusively, owner-writable whatever the umask; its descriptor, or -1.
int createExclusive(int dir, const char* name) {
    const int fd = ::openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    struct stat st {};
    if (fd >= 0 && (::fstat(fd, &st) != 0 || ::fchmod(fd, (st.st_mode & 07777) | S_IWUSR) != 0)) {
        closeKeepingErrno(fd);
        ::unlinkat(dir, name, 0);
        return -1;
    }
    return fd;
}

// Flushes a written file to disk and then clears its write bits: a read-only file in a work
// folder is complete. Closes fd; false (and the file removed) when anything fails.
bool completeFile(int dir, const char* name, int fd, bool written) {
    struct stat st {};
    const bool ok = written && ::fsync(fd) == 0 && ::fstat(fd, &st) == 0 &&
                    ::fchmod(fd, st.st_mode & 07777 & ~mode_t(0222)) == 0;
    if (::close(fd) != 0 || !ok) {
        ::unlinkat(dir, name, 0);
        return false;
    }
    return true;
}

bool isComplete(const struct stat& st) {
    return S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0;
}

// Removes every file in the subfolder of a work folder, then the subfolder.
void removeSubfolder(int work, const char* sub) {
    const Fd dir(openFolderAt(work, sub));
    if (dir.fd < 0)
        return;
    for (const QByteArray& name : namesIn(dir.fd))
        ::unlinkat(dir.fd, name.constData(), 0);
    ::unlinkat(work, sub, AT_REMOVEDIR);
}

// Moves the set-aside files of a work folder back under their names in the store, all or none:
// only when every name is free. True when none is left set aside.
bool putOldBack(int store, int work) {
    const Fd old(openFolderAt(work, kOld));
    if (old.fd < 0)
        return errno == ENOENT;
    const std::vector<QByteArray> names = namesIn(old.fd);
    for (const QByteArray& name : names) {
        if (exists(store, name.constData()))
            return false;
    }
    std::vector<QByteArray> moved;
    for (const QByteArray& name : names) {
        if (!renameNoReplace(old.fd, name.constData(), store, name.constData())) {
            // Taken meanwhile: what went back returns, so that the pair stays together.
            for (const QByteArray& back : moved)
                renameNoReplace(store, back.constData(), old.fd, back.constData());
            return false;
        }
        moved.push_back(name);
    }
    ::unlinkat(work, kOld, AT_REMOVEDIR);
    return true;
}

// Removes an emptied work folder. True when it is gone.
bool removeWorkFolder(int store, int work, const QByteArray& workName) {
    ::unlinkat(work, kNew, AT_REMOVEDIR);
    ::unlinkat(work, kOld, AT_REMOVEDIR);
    const bool gone = ::unlinkat(store, workName.constData(), AT_REMOVEDIR) == 0;
    ::fsync(store); // best effort: the files themselves are already on disk
    return gone;
}

// Puts right one work folder that its command left (it is locked by the caller).
void recoverWorkFolder(int store, int work, const QByteArray& workName) {
    // The new record is published when its hidden name is a second name of a file.
    struct stat record {};
    const bool published = exists(work, kRecord, &record) && S_ISREG(record.st_mode) && record.st_nlink >= 2;
    if (published) {
        // The new copy goes beside it (it was complete before the record was published); then
        // the old pair is superseded.
        const Fd fresh(openFolderAt(work, kNew));
        if (fresh.fd >= 0) {
            for (const QByteArray& name : namesIn(fresh.fd)) {
                struct stat st {};
                if (!exists(fresh.fd, name.constData(), &st) || !isComplete(st) ||
                    !renameNoReplace(fresh.fd, name.constData(), store, name.constData()))
                    return; // cannot be put right now: everything stays for a later start
            }
        }
        removeSubfolder(work, kOld);
    } else {
        removeSubfolder(work, kNew);
    }
    ::unlinkat(work, kRecord, 0);
    if (published || putOldBack(store, work))
        removeWorkFolder(store, work, workName);
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

TSPendingPair::TSPendingPair(const TSRegistrationStore& store, const QString& sDocumentName)
    : m_name(encoded(sDocumentName)) {
    m_store = ::open(encoded(store.folder()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_store < 0)
        return;
    for (int attempt = 0; attempt < kNameAttempts && m_work < 0; ++attempt) {
        const QByteArray name =
            kWorkPrefix +
            QByteArray::number(QRandomGenerator::system()->generate64(), 16).rightJustified(16, '0');
        if (::mkdirat(m_store, name.constData(), 0777) != 0) {
            if (errno == EEXIST)
                continue;
            break;
        }
        // Another program's start may have taken the folder for a leftover and removed it
        // before it was locked here: then try another.
        const int work = openFolderAt(m_store, name.constData());
        struct stat held {};
        struct stat named {};
        if (work >= 0 && ::flock(work, LOCK_EX | LOCK_NB) == 0 && ::fstat(work, &held) == 0 &&
            exists(m_store, name.constData(), &named) && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev) {
            m_work = work;
            m_workName = name;
        } else if (work >= 0) {
            ::close(work);
        }
    }
}

TSPendingPair::~TSPendingPair() {
    Abandon();
    close();
}

void TSPendingPair::close() {
    if (m_work >= 0)
        ::close(m_work); // unlocks it
    if (m_store >= 0)
        ::close(m_store);
    m_work = m_store = -1;
}

bool TSPendingPair::SetAsideOldPair() {
    if (m_work < 0 || m_hasOldPair)
        return false;
    const QByteArray record = m_name + ".p7s";
    // Both must be there, and neither may be a folder: a folder is never taken for a file.
    for (const QByteArray& name : {record, m_name}) {
        struct stat st {};
        if (!exists(m_store, name.constData(), &st) || S_ISDIR(st.st_mode))
            return false;
    }
    if (::mkdirat(m_work, kOld, 0777) != 0)
        return false;
    const Fd old(openFolderAt(m_work, kOld));
    if (old.fd >= 0 && renameNoReplace(m_store, record.constData(), old.fd, record.constData())) {
        if (renameNoReplace(m_store, m_name.constData(), old.fd, m_name.constData())) {
            m_hasOldPair = true;
            return true;
        }
        renameNoReplace(old.fd, record.constData(), m_store, record.constData());
    }
    ::unlinkat(m_work, kOld, AT_REMOVEDIR);
    return false;
}

TSFingerprintStream::Result TSPendingPair::CopyDocument(int fdDocument) {
    TSFingerprintStream::Result result;
    result.outcome = TSFingerprintStream::Result::Outcome::WriteFailed;
    if (m_work < 0 || m_hasNewCopy || (::mkdirat(m_work, kNew, 0777) != 0 && errno != EEXIST))
        return result;
    const Fd fresh(openFolderAt(m_work, kNew));
    const int fd = fresh.fd >= 0 ? createExclusive(fresh.fd, m_name.constData()) : -1;
    if (fd < 0)
        return result;
    result = TSFingerprintStream::Run(fdDocument, fd);
    const bool copied = result.outcome == TSFingerprintStream::Result::Outcome::Done;
    m_hasNewCopy = completeFile(fresh.fd, m_name.constData(), fd, copied);
    if (copied && !m_hasNewCopy)
        result.outcome = TSFingerprintStream::Result::Outcome::WriteFailed;
    return result;
}

TSStoreWriteResult TSPendingPair::Publish(const QString& sRegistrationData) {
    TSStoreWriteResult result;
    const QByteArray recordName = m_name + ".p7s";
    // The record: written under its hidden name, then given its name in the store as a second
    // name of the same file, which shows a later start that it was published.
    const QByteArray data = sRegistrationData.toLocal8Bit();
    const int fd = m_work >= 0 ? createExclusive(m_work, kRecord) : -1;
    bool recordPublished =
        fd >= 0 && completeFile(m_work, kRecord, fd, writeAll(fd, data.constData(), data.size()));
    if (recordPublished && ::linkat(m_work, kRecord, m_store, recordName.constData(), 0) != 0) {
        // Without hard links (some file systems) the hidden name itself moves.
        recordPublished = errno != EEXIST && errno != ENOENT &&
                          renameNoReplace(m_work, kRecord, m_store, recordName.constData());
    }
    result.recordFailed = !recordPublished;

    const Fd fresh(m_hasNewCopy ? openFolderAt(m_work, kNew) : -1);
    const bool copyPublished =
        fresh.fd >= 0 && renameNoReplace(fresh.fd, m_name.constData(), m_store, m_name.constData());
    result.copyFailed = !copyPublished;
    if (copyPublished)
        m_hasNewCopy = false;

    if (m_hasOldPair) {
        if (result.ok()) {
            removeSubfolder(m_work, kOld);
            m_hasOldPair = false;
        } else {
            // The old pair comes back whole: the new file that was published goes again.
            struct stat hidden {};
            struct stat named {};
            if (recordPublished && exists(m_work, kRecord, &hidden) &&
                exists(m_store, recordName.constData(), &named) && hidden.st_ino == named.st_ino)
                ::unlinkat(m_store, recordName.constData(), 0);
            if (copyPublished)
                ::unlinkat(m_store, m_name.constData(), 0);
            result.oldPairRestored = Abandon();
        }
    }
    Abandon();
    return result;
}

bool TSPendingPair::Abandon() {
    if (m_work < 0)
        return true;
    ::unlinkat(m_work, kRecord, 0);
    removeSubfolder(m_work, kNew);
    m_hasNewCopy = false;
    if (m_hasOldPair) {
        if (!putOldBack(m_store, m_work))
            return false;
        m_hasOldPair = false;
    }
    const bool gone = removeWorkFolder(m_store, m_work, m_workName);
    close();
    return gone;
}

// ---------------------------------------------------------------------------------------------

TSRegistrationStore::TSRegistrationStore(const QString& sProgramFolder)
    : m_folder(FolderFor(sProgramFolder)) {}

QString TSRegistrationStore::FolderFor(const QString& sProgramFolder) {
    QString folder = sProgramFolder;
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    // An installed program's folder belongs to the system: the store is then the user's own.
    if (!folderWritableByUser(encoded(folder)))
        return userDataFolder() + QStringLiteral("/tessaro/Registered/");
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
    if (errno != ENOENT || !makeParents(path))
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

std::optional<QString> TSRegistrationStore::ReadRecord(const QString& sRecordPath) {
    TSOpenFile file;
    if (!file.Open(sRecordPath))
        return std::nullopt;
    const std::optional<QByteArray> bytes = file.ReadAll();
    if (!bytes)
        return std::nullopt;
    return QString::fromLocal8Bit(*bytes);
}

void TSRegistrationStore::RecoverLeftovers() const {
    const Fd store(::open(encoded(m_folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (store.fd < 0)
        return;
    for (const QByteArray& name : namesIn(store.fd)) {
        if (!name.startsWith(kWorkPrefix))
            continue;
        // A folder that a running command holds is its own business.
        const Fd work(openFolderAt(store.fd, name.constData()));
        if (work.fd >= 0 && ::flock(work.fd, LOCK_EX | LOCK_NB) == 0)
            recoverWorkFolder(store.fd, work.fd, name);
    }
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
