#include "common/E2eHarness.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QListView>
#include <QPushButton>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace Qt::StringLiterals;

namespace {

// Set in the copy's environment: the copy's program folder.
constexpr char kCopyVariable[] = "TESSARO_E2E_PROGRAM_COPY";
// The program folder's name: a space, "#" and a non-ASCII letter, which local page addresses and
// store paths must survive.
constexpr char kFolderTemplate[] = "Tessaro program #1 \xc3\xa9-XXXXXX";

QString describeMessage(QMessageBox::Icon icon, const QString& title, const QString& text) {
    static const char* const icons[] = {"no icon", "information", "exclamation", "stop", "question"};
    return u"QMessageBox (%1, \"%2\"): %3"_s.arg(QLatin1String(icons[int(icon)]), title, text);
}

} // namespace

namespace E2e {

std::optional<int> RunInProgramCopy(int /*argc*/, char* argv[]) {
    if (const char* copy = std::getenv(kCopyVariable); copy && *copy)
        return std::nullopt;
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + kFolderTemplate;
    if (!::mkdtemp(folder.data())) {
        std::perror("E2e::RunInProgramCopy: cannot make the program folder");
        return 1;
    }
    // The program and the local pages beside it.
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
        ::setenv(kCopyVariable, folder.c_str(), 1);
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

bool isReadOnly(const QString& path) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    return (st.st_mode & 0222) == 0;
}

} // namespace E2e

E2eEnvironment::E2eEnvironment(const QString& nssKind, Site site) {
    if (qEnvironmentVariableIsSet("HOME"))
        m_oldHome = qgetenv("HOME");
    if (qEnvironmentVariableIsSet("TESSARO_SITE_ORIGIN"))
        m_oldOrigin = qgetenv("TESSARO_SITE_ORIGIN");

    m_documents = std::make_unique<QTemporaryDir>(QDir::tempPath() + u"/tessaro-documents-XXXXXX"_s);
    if (!m_documents->isValid()) {
        m_error = u"cannot make the documents folder: "_s + m_documents->errorString();
        return;
    }
    QString origin;
    if (site == Site::Test) {
        m_site = std::make_unique<TestSite>();
        if (!m_site->isRunning()) {
            m_error = u"the registration site did not start: "_s + m_site->errorString();
            return;
        }
        origin = m_site->origin();
    } else {
        m_service = std::make_unique<ServiceSite>();
        if (!m_service->isRunning()) {
            m_error = u"the registration service did not start: "_s + m_service->errorString();
            return;
        }
        origin = m_service->origin();
    }
    if (!useNss(nssKind))
        return;
    qputenv("TESSARO_SITE_ORIGIN", origin.toUtf8());
}

E2eEnvironment::~E2eEnvironment() {
    m_site.reset();
    m_service.reset();
    // Each fixture puts back the HOME it found, so they go in the reverse order of their making.
    while (!m_fixtures.empty())
        m_fixtures.pop_back();
    const auto restore = [](const char* name, const std::optional<QByteArray>& value) {
        value ? qputenv(name, *value) : qunsetenv(name);
    };
    restore("HOME", m_oldHome);
    restore("TESSARO_SITE_ORIGIN", m_oldOrigin);
}

bool E2eEnvironment::useNss(const QString& kind) {
    const auto made =
        std::find_if(m_fixtures.begin(), m_fixtures.end(), [&](const auto& f) { return f->kind() == kind; });
    if (made != m_fixtures.end()) {
        m_current = made->get();
    } else {
        auto fixture = std::make_unique<NssFixture>(kind);
        QString failure = fixture->isValid() ? QString() : fixture->error();
        // Without a database ("none") there is nothing to trust the site in.
        if (fixture->isValid() && kind != "none"_L1)
            failure = fixture->addCertificate(m_site ? m_site->caCertificatePath()
                                                     : m_service->rootCertificatePath(),
                                              u"Tessaro Test Site CA"_s, u"CT,,"_s);
        if (!fixture->isValid() || !failure.isEmpty()) {
            m_error = failure;
            return false;
        }
        m_current = fixture.get();
        m_fixtures.push_back(std::move(fixture));
    }
    qputenv("HOME", QFile::encodeName(m_current->home()));
    return true;
}

QString E2eEnvironment::writeDocument(const QString& name, const QByteArray& bytes) const {
    QTemporaryDir sub(documentsFolder() + u"/doc-XXXXXX"_s);
    sub.setAutoRemove(false);
    const QString path = sub.path() + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return path;
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

E2eModals::E2eModals() {
    m_timer.callOnTimeout(this, &E2eModals::poll);
    m_timer.start(10);
}

E2eModals& E2eModals::add(Step step) {
    m_steps.push_back(std::move(step));
    return *this;
}

E2eModals& E2eModals::message(const E2eMessage& expected, QMessageBox::StandardButton answer) {
    return add({u"message \"%1\""_s.arg(expected.text), QString(), expected, [this, answer](QWidget* w) {
                    auto* box = qobject_cast<QMessageBox*>(w);
                    QAbstractButton* button = box ? box->button(answer) : nullptr;
                    expectThat(button != nullptr, u"the message box has no button to answer"_s);
                    if (button)
                        button->click();
                    else
                        w->close();
                }});
}

E2eModals& E2eModals::message(const E2eMessage& expected, Dismiss how) {
    return add({u"message \"%1\""_s.arg(expected.text), QString(), expected, [how](QWidget* w) {
                    if (how == Dismiss::EscapeKey)
                        QTest::keyClick(w, Qt::Key_Escape);
                    else
                        w->close();
                }});
}

E2eModals& E2eModals::chooseFile(const QString& path, Answer check) {
    return add({u"open-file dialog choosing %1"_s.arg(path), u"CD1"_s, std::nullopt,
                [this, path, check](QWidget* w) {
                    if (check)
                        check(w);
                    auto* dialog = qobject_cast<QFileDialog*>(w);
                    expectThat(dialog != nullptr, u"CD1 is not a QFileDialog"_s);
                    if (!dialog) {
                        w->close();
                        return;
                    }
                    // As a user does: go to the folder, click the file in its list, press Open.
                    // (A typed name would not do for every name: the dialog takes a typed '"'
                    // for the quoting of several names.)
                    const QFileInfo file(path);
                    dialog->setDirectory(file.absolutePath());
                    auto* model = dialog->findChild<QFileSystemModel*>();
                    auto* list = dialog->findChild<QListView*>(u"listView"_s);
                    QModelIndex index;
                    if (model && list) {
                        E2e::waitFor([&] {
                            index = model->index(file.absoluteFilePath());
                            return index.isValid();
                        });
                    }
                    if (index.isValid()) {
                        list->setCurrentIndex(index);
                        list->selectionModel()->select(index, QItemSelectionModel::ClearAndSelect |
                                                                  QItemSelectionModel::Rows);
                    } else {
                        dialog->selectFile(path);
                    }
                    static_cast<QDialog*>(dialog)->accept(); // protected in QFileDialog
                    if (dialog->isVisible()) {
                        expectThat(false, u"the open-file dialog refused "_s + path);
                        dialog->reject();
                    }
                }});
}

E2eModals& E2eModals::cancelFileDialog(Answer check) {
    return add({u"open-file dialog, cancelled"_s, u"CD1"_s, std::nullopt, [check](QWidget* w) {
                    if (check)
                        check(w);
                    if (auto* dialog = qobject_cast<QDialog*>(w))
                        dialog->reject();
                    else
                        w->close();
                }});
}

E2eModals& E2eModals::dialog(const QString& objectName, Answer answer) {
    return add({objectName, objectName, std::nullopt, std::move(answer)});
}

void E2eModals::expectThat(bool condition, const QString& what) {
    if (!condition)
        m_problems << what;
}

QString E2eModals::describe(QWidget* widget) {
    if (auto* box = qobject_cast<QMessageBox*>(widget))
        return describeMessage(box->icon(), box->windowTitle(), box->text());
    if (auto* dialog = qobject_cast<QFileDialog*>(widget))
        return u"%1 (QFileDialog \"%2\" in %3)"_s.arg(widget->objectName(), dialog->windowTitle(),
                                                      dialog->directory().absolutePath());
    return widget->objectName().isEmpty() ? QString::fromLatin1(widget->metaObject()->className())
                                          : widget->objectName();
}

QString E2eModals::report() const {
    QStringList lines;
    for (const QString& p : m_problems)
        lines << u"problem: "_s + p;
    for (size_t i = m_next; i < m_steps.size(); ++i)
        lines << u"not shown: "_s + m_steps[i].what;
    for (const QString& s : m_seen)
        lines << u"seen: "_s + s;
    return lines.join(QLatin1Char('\n'));
}

void E2eModals::poll() {
    // Widgets shown and seen before stay "open" until they hide: a dialog that comes back to the
    // front when a message box over it closes is not a new showing.
    m_open.removeIf([](const QPointer<QWidget>& w) { return !w || !w->isVisible(); });
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible() || m_open.contains(modal))
        return;
    m_open.append(modal);
    const QString description = describe(modal);
    m_seen << description;

    Answer answer;
    if (m_next >= m_steps.size()) {
        m_problems << u"unexpected: "_s + description;
    } else {
        const Step& step = m_steps[m_next];
        auto* box = qobject_cast<QMessageBox*>(modal);
        const bool matches = step.message ? box != nullptr : modal->objectName() == step.objectName;
        if (!matches) {
            m_problems << u"expected %1, got: %2"_s.arg(step.what, description);
        } else {
            ++m_next;
            if (step.message) {
                const E2eMessage& m = *step.message;
                const QString expected = describeMessage(m.icon, m.title, m.text);
                expectThat(description == expected, u"got %1, expected %2"_s.arg(description, expected));
                expectThat(box->standardButtons() == m.buttons &&
                               (m.defaultButton == QMessageBox::NoButton ||
                                box->defaultButton() == box->button(m.defaultButton)),
                           u"other buttons than expected for \"%1\""_s.arg(m.text));
            }
            answer = step.answer;
        }
    }
    if (!answer)
        answer = [](QWidget* w) { w->close(); };
    // Answered from the event loop, not from this timer's own call: an answer that opens another
    // modal widget (a validation message) must not block the polling.
    QPointer<QWidget> target(modal);
    QTimer::singleShot(0, this, [this, target, answer] {
        if (!target || !target->isVisible())
            return;
        answer(target);
        // A dialog the answer closed may be shown again before the next poll: that is a new showing.
        if (target && !target->isVisible())
            m_open.removeAll(target);
    });
}
