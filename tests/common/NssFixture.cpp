#include "common/NssFixture.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>

namespace {
const char kPassword[] = "Tessaro-Fixture-1";

QString scriptPath() {
    return QStringLiteral(TESSARO_SOURCE_DIR) + QStringLiteral("/tests/fixtures/make_nssdb.sh");
}
} // namespace

NssFixture::NssFixture(const QString& kind) : m_kind(kind), m_dir(std::make_unique<QTemporaryDir>()) {
    m_hadHome = qEnvironmentVariableIsSet("HOME");
    m_oldHome = qgetenv("HOME");
    if (!m_dir->isValid()) {
        m_error = QStringLiteral("cannot make a temporary folder: ") + m_dir->errorString();
        return;
    }
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TESSARO_FIXTURE_PASSWORD"), QString::fromLatin1(kPassword));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral("bash"), {scriptPath(), kind, m_dir->path()});
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        m_error = QStringLiteral("fixture script failed for kind '%1': %2")
                      .arg(kind, QString::fromLocal8Bit(p.readAll()) + p.errorString());
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
