#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// A regular file open for reading, from Open until Close or the object's end. Opening never
// blocks: a pipe, a device, a folder or a socket is refused, not waited on.
class TSOpenFile {
public:
    TSOpenFile() = default;
    TSOpenFile(const TSOpenFile&) = delete;
    TSOpenFile& operator=(const TSOpenFile&) = delete;
    ~TSOpenFile();

    // Opens the file at sPath for reading (closing any file open before). False when it cannot
    // be opened or is not a regular file.
    bool Open(const QString& sPath);
    bool isOpen() const { return m_fd >= 0; }
    // The file's length in bytes when it was opened (64-bit); 0 when nothing is open.
    qint64 Length() const { return m_length; }
    // Reads the whole file from its start in one buffer of its length, up to its end even if it
    // has grown since it was opened. Nothing when nothing is open, a read fails, or memory for
    // it runs out.
    std::optional<QByteArray> ReadAll();
    void Close();

private:
    int m_fd = -1;
    qint64 m_length = 0;
};

// A registered document's record and copy moved out of the way under hidden unique names
// ".tessaro-..." in the store folder, so that a new pair can take their names.
//
// The pair is either put back under its own names (PutBack) or deleted for good (Discard).
// A pair still set aside when this object is destroyed is put back, so every path that ends
// a command without writing the new pair leaves the store as it was.
class TSSetAsidePair {
public:
    TSSetAsidePair() = default;
    TSSetAsidePair(const TSSetAsidePair&) = delete;
    TSSetAsidePair& operator=(const TSSetAsidePair&) = delete;
    TSSetAsidePair(TSSetAsidePair&& other) noexcept;
    TSSetAsidePair& operator=(TSSetAsidePair&& other) noexcept;
    ~TSSetAsidePair();

    // True while the pair sits under its hidden names.
    bool isPending() const { return m_pending; }

    QString recordPath() const { return m_recordPath; }
    QString copyPath() const { return m_copyPath; }

    // Renames both files back to their own names. True when both are back; a file that
    // cannot go back (its name has been taken meanwhile) stays under its hidden name, so
    // nothing is lost either way. Does nothing and returns true when nothing is pending.
    bool PutBack();
    // Deletes both set-aside files. True when both are gone. Does nothing and returns true
    // when nothing is pending.
    bool Discard();

private:
    friend class TSRegistrationStore;

    bool m_pending = false;
    QString m_recordPath;
    QString m_copyPath;
    QString m_asideRecordPath;
    QString m_asideCopyPath;
};

// What writing a pair did, per file, so that the caller can show its message once for each
// file that failed.
struct TSStoreWriteResult {
    bool recordFailed = false;
    bool copyFailed = false;
    // With a pair set aside: true when the old pair is back under its names after a failure.
    bool oldPairRestored = false;

    int failures() const { return int(recordFailed) + int(copyFailed); }
    bool ok() const { return failures() == 0; }
};

// The local registration store: the folder "Registered" in the program folder, holding for
// each registered document the record "<document name>.p7s" and the copy "<document name>",
// both read-only (no write permission bit set).
//
// Store files are never overwritten in place. Each new file is written under a unique hidden
// name created exclusively, flushed to disk, made read-only, and only then published under its
// final name, and only if that name is free; a name already taken is a failed write.
class TSRegistrationStore {
public:
    // The store of a program folder: the folder followed by "/Registered/".
    explicit TSRegistrationStore(const QString& sProgramFolder);

    static QString FolderFor(const QString& sProgramFolder);

    // The store folder, ending with "/".
    QString folder() const { return m_folder; }
    // The record of a document: folder + document name + ".p7s".
    QString RecordPath(const QString& sDocumentName) const;
    // The copy of a document: folder + document name.
    QString CopyPath(const QString& sDocumentName) const;

    // The copy that goes with a record title (a record's file name without its folder): the
    // folder followed by the title less its last extension and that extension's dot.
    // sExtension is the title's extension as FindExtension gives it; where the title has none,
    // only its last character is dropped, and a one-character title gives the folder itself.
    QString CopyPathForRecord(const QString& sRecordTitle, const QString& sExtension) const;

    // Makes sure the store folder exists, creating it (one level) when nothing is at its
    // path. False when it cannot be created or something other than a folder is in the way.
    bool EnsureFolder() const;

    // True when the document's record can be opened for reading as a regular file.
    bool RecordExists(const QString& sDocumentName) const;

    // The whole content of a record file as text in the locale's encoding, or nothing when it
    // cannot be opened or read or is not a regular file. An empty file gives an empty text.
    static std::optional<QString> ReadRecord(const QString& sRecordPath);
    // The whole content of a regular file, however large, or nothing when it cannot be
    // opened or read (or memory for it runs out).
    static std::optional<QByteArray> ReadWholeFile(const QString& sPath);

    // Moves a document's record and copy aside under hidden unique names. Nothing when
    // either file is missing or is a folder, or cannot be moved; then both files stay
    // exactly where they were.
    std::optional<TSSetAsidePair> SetAside(const QString& sDocumentName) const;

    // Writes the record (the registration data in the locale's encoding, nothing added) and
    // the copy (the document's bytes), each read-only. Each file succeeds or fails on its own.
    // With a pair set aside (pSetAside pending, taken by SetAside for the same document name):
    // when both new files are written the old pair is discarded; when either fails, the new
    // file that was written is removed again and the old pair is put back.
    TSStoreWriteResult WritePair(const QString& sDocumentName, const QString& sRegistrationData,
                                 const QByteArray& bDocument, TSSetAsidePair* pSetAside = nullptr) const;

    // Writes one new read-only file at sPath, which must not exist yet. False when it cannot
    // be written or the name is taken; nothing is then left behind.
    static bool WriteNewFile(const QString& sPath, const QByteArray& bData);

    // The plain deletion of an empty document copy: removes the file at sPath only when it is
    // a regular file (not followed through a link) of size 0 whose owner-write bit is set.
    // A file holding bytes, a read-only file, a folder or a link is never removed.
    static bool RemoveEmptyCopy(const QString& sPath);

private:
    QString m_folder;
};
