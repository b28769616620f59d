#include "common/E2eHarness.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QPointer>
#include <QTimer>
#include <QUuid>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace Qt::StringLiterals;

namespace E2e {

std::optional<int> RunInProgramCopy(int /*argc*/, char* argv[]) {
    // Set in the copy's environment: the copy's program folder.
    const char* const copyVariable = "TESSARO_E2E_PROGRAM_COPY";
    if (const char* copy = std::getenv(copyVariable); copy && *copy)
        return std::nullopt;
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/Tessaro program #1 \xc3\xa9-XXXXXX";
    if (!::mkdtemp(folder.data())) {
        std::perror("E2e::RunInProgramCopy: cannot make the program folder");
        return 1;
    }
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    std::string copy = (fs::path(folder) / self.filename()).string();
    if (!ec)
        fs::copy_file(self, copy, ec);
    if (!ec) {
        for (const fs::directory_entry& entry : fs::directory_iterator(self.parent_path(), ec)) {
            const fs::path& page = entry.path();
            if (page.extension() == ".htm" && !fs::copy_file(page, fs::path(folder) / page.filename(), ec))
                break;
        }
    }
    int code = 1;
    if (ec) {
        std::fprintf(stderr, "E2e::RunInProgramCopy: cannot copy the program: %s\n", ec.message().c_str());
    } else {
        ::setenv(copyVariable, folder.c_str(), 1);
        argv[0] = copy.data();
        const pid_t parent = ::getpid();
        const pid_t child = ::fork();
        if (child == 0) {
            // The copy ends with the original, so that nothing is left running when a run is killed.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() == parent)
                ::execv(copy.c_str(), argv);
            ::_exit(127);
        }
        int status = 0;
        while (child > 0 && ::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        if (child > 0)
            code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        else
            std::perror("E2e::RunInProgramCopy: cannot start the copy");
    }
    fs::remove_all(folder, ec);
    return code;
}

bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds limit) {
    const QDeadlineTimer deadline(limit);
    while (!predicate()) {
        if (deadline.hasExpired())
            return false;
        runFor(std::chrono::milliseconds(10));
    }
    return true;
}

void runFor(std::chrono::milliseconds time) {
    QEventLoop loop;
    QTimer::singleShot(time, &loop, &QEventLoop::quit);
    loop.exec();
}

void onceWhen(QObject* context, std::function<bool()> condition, std::function<void()> action) {
    auto* timer = new QTimer(context);
    QObject::connect(timer, &QTimer::timeout, context, [timer, condition, action] {
        if (!condition())
            return;
        timer->stop();
        // The action may end the context, and this connection with it.
        const QPointer<QTimer> alive(timer);
        const std::function<void()> run = action;
        run();
        if (alive)
            alive->deleteLater();
    });
    timer->start(5);
}

int runProgram(std::chrono::milliseconds limit) {
    QTimer stuck;
    stuck.setSingleShot(true);
    QObject::connect(&stuck, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    stuck.start(limit);
    return QApplication::exec();
}

std::optional<QByteArray> fileContent(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray freshBytes() {
    return "document " + QUuid::createUuid().toByteArray() + '\n';
}

} // namespace E2e

E2eEnvironment::E2eEnvironment(const QString& nssKind, Site site) {
    if (qEnvironmentVariableIsSet("TESSARO_SITE_ORIGIN"))
        m_oldOrigin = qgetenv("TESSARO_SITE_ORIGIN");
    QString origin, ca;
    const auto start = [&](auto& server, const char* what) {
        m_error = server->isRunning() ? QString() : QLatin1String(what) + server->errorString();
        origin = server->origin();
    };
    if (site == Site::Test) {
        start(m_site = std::make_unique<TestSite>(), "the test site did not start: ");
        ca = m_site->caCertificatePath();
    } else {
        start(m_service = std::make_unique<ServiceSite>(), "the registration service did not start: ");
        ca = m_service->rootCertificatePath();
    }
    if (!m_error.isEmpty())
        return;
    m_nss = std::make_unique<NssFixture>(nssKind);
    // Without a database ("none") there is nothing to trust the site in.
    m_error = !m_nss->isValid()      ? m_nss->error()
              : nssKind != "none"_L1 ? m_nss->addCertificate(ca, u"Tessaro Test Site CA"_s, u"CT,,"_s)
                                     : QString();
    qputenv("TESSARO_SITE_ORIGIN", origin.toUtf8());
}

E2eEnvironment::~E2eEnvironment() {
    m_site.reset();
    m_service.reset();
    m_nss.reset(); // puts back the HOME it found
    m_oldOrigin ? qputenv("TESSARO_SITE_ORIGIN", *m_oldOrigin) : qunsetenv("TESSARO_SITE_ORIGIN");
}

QString E2eEnvironment::writeDocument(const QString& name, const QByteArray& bytes) const {
    QTemporaryDir sub(m_documents.path() + u"/doc-XXXXXX"_s);
    sub.setAutoRemove(false);
    const QString path = sub.path() + QLatin1Char('/') + name;
    return E2e::writeFile(path, bytes) ? path : QString();
}

QStringList E2eEnvironment::storeEntries() {
    return QDir(storeFolder())
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

bool E2eEnvironment::clearStore() {
    std::error_code ec;
    const fs::path store(QFile::encodeName(storeFolder().chopped(1)).toStdString());
    fs::remove_all(store, ec);
    return !fs::exists(fs::symlink_status(store, ec));
}
