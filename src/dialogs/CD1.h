#pragma once

#include <QPointer>
#include <QString>
#include <QStringList>

class QWidget;

// The open-file dialog the commands use to pick a document or a registration record: Qt's own
// file dialog (the same everywhere, and drivable in tests), created for each show as a child
// of the owner window with the object name "CD1", so that it is the application's active
// modal widget while it is open.
//
// A command sets the title, the initial file name, the filter and the flags, then calls
// showOpen(), which tells a choice, a cancel and a failure apart:
//  - Chosen: the full path of the file and its file title (name with extension, no folder);
//  - Cancelled: the user closed the dialog without choosing;
//  - Failed: the dialog could not be shown because its starting folder cannot be listed
//    (missing, not a folder, no permission). errorNumber is the system's error number
//    (errno, such as ENOENT or ENOTDIR) and errorDescription names the folder and the
//    reason. A caller may then set another initial file name and try again.
class CD1 {
public:
    // The open flags, with the values of the common open-file flags they stand for.
    enum Flag : quint32 {
        HideReadOnly = 0x4,            // no read-only check box (this dialog never has one)
        PathMustExist = 0x800,         // the folder of the name typed must exist
        FileMustExist = 0x1000,        // only existing files can be chosen
        NoDereferenceLinks = 0x100000, // a symbolic link is returned as itself, not its target
        LongNames = 0x200000,          // long file names (always the case here)
    };
    // The flags both commands use: 0x301804.
    static constexpr quint32 kOpenExistingFlags =
        HideReadOnly | PathMustExist | FileMustExist | NoDereferenceLinks | LongNames;

    enum class Outcome { Chosen, Cancelled, Failed };
    struct Result {
        Outcome outcome = Outcome::Cancelled;
        QString fileName;  // full path of the chosen file
        QString fileTitle; // its name with extension, without the folder
        qint32 errorNumber = 0;
        QString errorDescription;
    };

    explicit CD1(QWidget* owner);

    void setDialogTitle(const QString& title) { m_title = title; }
    QString dialogTitle() const { return m_title; }
    // A folder followed by "/" and a name or pattern ("/home/ann/*.*"): the dialog starts in
    // the folder; the name box starts empty. A name without a folder starts in the current
    // working folder.
    void setInitialFileName(const QString& initialFileName) { m_initialFileName = initialFileName; }
    QString initialFileName() const { return m_initialFileName; }
    // Entries "label|patterns|label|patterns|...", patterns separated by ";"; see nameFilters().
    void setFilter(const QString& filter) { m_filter = filter; }
    QString filter() const { return m_filter; }
    void setFlags(quint32 flags) { m_flags = flags; }
    quint32 flags() const { return m_flags; }

    // Shows the dialog modally for opening one file.
    Result showOpen();

    // The Qt name filters for a filter text "label|patterns|...": each entry becomes its label
    // followed by " (" and its patterns separated by blanks and ")", the group the dialog
    // filters by and hides from view. "*.*" stands for every file and becomes "*". An entry
    // without patterns, and a trailing "|", add nothing.
    static QStringList nameFilters(const QString& filter);
    // The folder the dialog starts in for an initial file name: everything before its last
    // "/", or currentFolder when there is no "/" (a relative folder is taken from it).
    static QString startFolder(const QString& initialFileName, const QString& currentFolder);

private:
    QPointer<QWidget> m_owner;
    QString m_title;
    QString m_initialFileName;
    QString m_filter;
    quint32 m_flags = 0;
};
