#include "common/NssFixture.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>

NssFixture::NssFixture(const QString& kind) {
    if (qEnvironmentVariableIsSet("HOME"))
        m_oldHome = qgetenv("HOME");
    // A copy of the committed database, which the test may change.
    const QDir from(QStringLiteral(TESSARO_SOURCE_DIR "/tests/fixtures/nssdb/") + kind);
    bool ok = m_dir.isValid() && (kind == QLatin1String("none") || from.exists());
    for (const QString& file : from.entryList(QDir::Files)) {
        const QString to = databaseFolder() + u'/' + file;
        ok = ok && QDir().mkpath(databaseFolder()) && QFile::copy(from.filePath(file), to) &&
             QFile::setPermissions(to, QFile::ReadOwner | QFile::WriteOwner);
    }
    QFile secret(passwordFile());
    if (ok && kind == QLatin1String("password"))
        ok = secret.open(QIODevice::WriteOnly) && secret.write(password().toLatin1()) > 0;
    if (!ok) {
        m_error = QStringLiteral("cannot make the fixture database of kind '%1'").arg(kind);
        return;
    }
    qputenv("HOME", QFile::encodeName(home()));
}

NssFixture::~NssFixture() {
    m_oldHome ? qputenv("HOME", *m_oldHome) : qunsetenv("HOME");
}

QString NssFixture::addCertificate(const QString& pemFile, const QString& nickname,
                                   const QString& trust) const {
    QStringList args{"-A", "-d", "sql:" + databaseFolder(), "-n", nickname, "-t", trust, "-a", "-i", pemFile};
    if (QFileInfo::exists(passwordFile()))
        args << QStringLiteral("-f") << passwordFile();
    QByteArray output;
    const int code = run(QStringLiteral("certutil"), args, &output);
    return code == 0
               ? QString()
               : QStringLiteral("certutil failed (%1): %2").arg(code).arg(QString::fromLocal8Bit(output));
}

int NssFixture::run(const QString& program, const QStringList& arguments, QByteArray* output) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, arguments);
    if (!p.waitForStarted(30000))
        return -1;
    p.closeWriteChannel();
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    if (output)
        *output = p.readAll();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}
