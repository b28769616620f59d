#include "dialogs/CD1.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>

#include <cerrno>
#include <dirent.h>

namespace {

// Opens the folder for listing; on failure gives the system's error number.
int listFolderError(const QString& folder) {
    const QByteArray path = QFile::encodeName(folder);
    if (path.isEmpty() || path.contains('\0'))
        return EINVAL;
    DIR* dir = ::opendir(path.constData());
    if (!dir)
        return errno;
    ::closedir(dir);
    return 0;
}

} // namespace

CD1::CD1(QWidget* owner) : m_owner(owner) {}

QStringList CD1::nameFilters(const QString& filter) {
    const QStringList parts = filter.split(u'|');
    QStringList result;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns;
        for (const QString& raw : parts[i + 1].split(u';')) {
            const QString pattern = raw.trimmed();
            if (pattern.isEmpty())
                continue;
            patterns << (pattern == QLatin1String("*.*") ? QStringLiteral("*") : pattern);
        }
        if (patterns.isEmpty())
            continue;
        result << parts[i] + QLatin1String(" (") + patterns.join(u' ') + QLatin1Char(')');
    }
    return result;
}

QString CD1::startFolder(const QString& initialFileName, const QString& currentFolder) {
    const qsizetype slash = initialFileName.lastIndexOf(u'/');
    if (slash < 0)
        return currentFolder;
    if (slash == 0)
        return QStringLiteral("/");
    QString folder = initialFileName.left(slash);
    while (folder.size() > 1 && folder.endsWith(u'/'))
        folder.chop(1);
    return QDir(currentFolder).absoluteFilePath(folder);
}

CD1::Result CD1::showOpen() {
    Result result;
    const QString folder = startFolder(m_initialFileName, QDir::currentPath());
    if (const int error = listFolderError(folder)) {
        result.outcome = Outcome::Failed;
        result.errorNumber = error;
        result.errorDescription =
            QStringLiteral("The folder \"%1\" cannot be opened: %2").arg(folder, qt_error_string(error));
        return result;
    }

    // Owned by the owner window, so that it goes with it; deleted here after each show.
    QPointer<QFileDialog> dialog = new QFileDialog(m_owner.data());
    dialog->setObjectName(QStringLiteral("CD1"));
    QFileDialog::Options options = QFileDialog::DontUseNativeDialog | QFileDialog::HideNameFilterDetails;
    if (m_flags & NoDereferenceLinks)
        options |= QFileDialog::DontResolveSymlinks;
    dialog->setOptions(options);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode((m_flags & FileMustExist) ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    if (!m_title.isEmpty())
        dialog->setWindowTitle(m_title);
    const QStringList filters = nameFilters(m_filter);
    if (!filters.isEmpty())
        dialog->setNameFilters(filters);
    dialog->setDirectory(folder);

    const int code = dialog->exec();
    if (!dialog) // the owner went away while the dialog was open
        return result;
    const QStringList files = dialog->selectedFiles();
    delete dialog.data();
    if (code != QDialog::Accepted || files.isEmpty())
        return result;

    result.outcome = Outcome::Chosen;
    result.fileName = files.first();
    result.fileTitle = QFileInfo(result.fileName).fileName();
    return result;
}
