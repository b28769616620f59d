#pragma once

#include "crypto/TSFingerprintStream.h"

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
    // The open file's descriptor, -1 when nothing is open.
    int descriptor() const { return m_fd; }
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

// The local registration store: the folder "Registered" in the program folder (in
// ${XDG_DATA_HOME:-$HOME/.local/share}/tessaro when the user may not write the program folder,
// as for an installed program), holding for each registered document the record
// "<document name>.p7s" and the copy "<document name>", both read-only (no write permission bit
// set).
//
// Store files are never overwritten in place. New files are written in a hidden work folder
// (TSPendingPair), flushed to disk, made read-only, and only then published under their final
// names, and only if those names are free; a name already taken is a failed write.
class TSRegistrationStore {
public:
    // The store of a program folder: the folder followed by "/Registered/", or the user's
    // data folder followed by "/tessaro/Registered/" when the user may not write the program folder.
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

    // Makes sure the store folder exists, creating it (and any missing folders above it, private
    // to the user) when nothing is at its path. False when it cannot be created or something other
    // than a folder is in the way.
    bool EnsureFolder() const;

    // True when the document's record can be opened for reading as a regular file.
    bool RecordExists(const QString& sDocumentName) const;

    // The whole content of a record file as text in the locale's encoding, or nothing when it
    // cannot be opened or read or is not a regular file. An empty file gives an empty text.
    static std::optional<QString> ReadRecord(const QString& sRecordPath);

    // Puts right what register commands that never finished (their process died) left in the
    // store: every work folder that no running command holds locked. Where the new record had
    // been published, the new copy is published beside it and the old pair deleted; otherwise
    // the new files are removed and the old pair goes back under its names, when both are free
    // (else it stays where it is, for a later start). The program runs this at every start.
    void RecoverLeftovers() const;

    // The plain deletion of an empty document copy: removes the file at sPath only when it is
    // a regular file (not followed through a link) of size 0 whose owner-write bit is set.
    // A file holding bytes, a read-only file, a folder or a link is never removed.
    static bool RemoveEmptyCopy(const QString& sPath);

private:
    QString m_folder;
};

// The files of one register command that are not published yet. They live in a hidden work
// folder of the store, ".tessaro-" and a random number, that the command holds locked (flock)
// for as long as this object lives:
//
//   old/<document name>.p7s, old/<document name>   the existing pair, set aside under its own
//                                                  names
//   new/<document name>                            the new copy: owner-writable while it is
//                                                  written, read-only once complete and on disk
//   record                                         the new record; once published, a second
//                                                  name of the record in the store
//
// Publish gives the new files their names (the record first, then the copy); every other ending
// removes the new files and puts the old pair back (Abandon, which the destructor runs). When the
// process dies instead, the folder stays, unlocked, for RecoverLeftovers at the next start: the
// store never holds a record beside a copy that does not belong to it, and nothing set aside is
// ever lost.
class TSPendingPair {
public:
    // Makes and locks a new work folder for the document in the (existing) store folder;
    // isOpen() tells whether that worked.
    TSPendingPair(const TSRegistrationStore& store, const QString& sDocumentName);
    TSPendingPair(const TSPendingPair&) = delete;
    TSPendingPair& operator=(const TSPendingPair&) = delete;
    ~TSPendingPair();

    bool isOpen() const { return m_work >= 0; }
    // True while an old pair is set aside here.
    bool hasOldPair() const { return m_hasOldPair; }

    // Moves the document's existing record and copy into the work folder. False when either
    // is missing or is a folder, or cannot be moved; both files then stay where they were.
    bool SetAsideOldPair();

    // Copies the document, read from fdDocument's position to its end, into the new copy
    // (created exclusively) in one streaming pass that also fingerprints it; the copy is then
    // flushed to disk and made read-only. WriteFailed also when the copy cannot be created.
    // Nothing of the copy is left after a failure.
    TSFingerprintStream::Result CopyDocument(int fdDocument);

    // Writes the record (the registration data in the locale's encoding, nothing added) and
    // publishes it and the new copy, each only if its name is free. Each file succeeds or fails
    // on its own, except with an old pair set aside: when both are published the old pair is
    // deleted; when either fails, the one published is taken back and the old pair put back.
    TSStoreWriteResult Publish(const QString& sRegistrationData);

    // Removes the new files and puts the old pair back when both its names are free. True when
    // the work folder is gone (it stays, unlocked, only around an old pair that cannot go back).
    bool Abandon();

private:
    void close();

    QByteArray m_name; // the document name, encoded for the file system
    int m_store = -1;  // the store folder
    int m_work = -1;   // the work folder, locked
    QByteArray m_workName;
    bool m_hasOldPair = false;
    bool m_hasNewCopy = false;
};
