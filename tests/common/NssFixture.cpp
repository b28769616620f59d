#include "common/NssFixture.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>

namespace {
const char kPassword[] = "Tessaro-Fixture-1";
} // namespace

NssFixture::NssFixture(const QString& kind) : m_kind(kind), m_dir(std::make_unique<QTemporaryDir>()) {
    m_hadHome = qEnvironmentVariableIsSet("HOME");
    m_oldHome = qgetenv("HOME");
    // A copy of the committed database, which the test may change.
    const QDir from(QStringLiteral(TESSARO_SOURCE_DIR "/tests/fixtures/nssdb/") + kind);
    bool ok = m_dir->isValid() && (kind == QLatin1String("none") || from.exists());
    for (const QString& file : from.entryList(QDir::Files)) {
        const QString to = databaseFolder() + u'/' + file;
        ok = ok && QDir().mkpath(databaseFolder()) && QFile::copy(from.filePath(file), to) &&
             QFile::setPermissions(to, QFile::ReadOwner | QFile::WriteOwner);
    }
    QFile password(home() + QStringLiteral("/.pki/nssdb-password.txt"));
    if (ok && kind == QLatin1String("password"))
        ok = password.open(QIODevice::WriteOnly) && password.write(kPassword) > 0;
    if (!ok) {
        m_error = QStringLiteral("cannot make the fixture database of kind '%1'").arg(kind);
        return;
    }
    qputenv("HOME", QFile::encodeName(m_dir->path()));
}

NssFixture::~NssFixture() {
    if (m_hadHome)
        qputenv("HOME", m_oldHome);
    else
        qunsetenv("HOME");
}

QString NssFixture::home() const {
    return m_dir->path();
}

QString NssFixture::databaseFolder() const {
    return home() + QStringLiteral("/.pki/nssdb");
}

QString NssFixture::password() {
    return QString::fromLatin1(kPassword);
}

QString NssFixture::addCertificate(const QString& file, const QString& nickname, const QString& trust) const {
    QStringList args{"-A", "-d", "sql:" + databaseFolder(), "-n", nickname, "-t", trust, "-i", file};
    QFile f(file);
    if (f.open(QIODevice::ReadOnly) && f.peek(64).contains("-----BEGIN"))
        args << QStringLiteral("-a");
    const QString passwordFile = home() + QStringLiteral("/.pki/nssdb-password.txt");
    if (QFileInfo::exists(passwordFile))
        args << QStringLiteral("-f") << passwordFile;
    QByteArray output;
    const int code = run(QStringLiteral("certutil"), args, &output);
    return code == 0
               ? QString()
               : QStringLiteral("certutil failed (%1): %2").arg(code).arg(QString::fromLocal8Bit(output));
}

int NssFixture::run(const QString& program, const QStringList& arguments, QByteArray* output,
                    const QByteArray& input) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, arguments);
    if (!p.waitForStarted(30000))
        return -1;
    if (!input.isEmpty())
        p.write(input);
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
