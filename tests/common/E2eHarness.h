#pragma once

// clang-format off
// End-to-end test machinery: the program run from a copy in a temporary program folder, a temporary HOME
// holding a real NSS database that trusts the registration site, the site itself, and a helper that answers
// the program's message boxes and dialogs.
//
//   int main(int argc, char* argv[]) {
//       if (const std::optional<int> code = E2e::RunInProgramCopy(argc, argv))
//           return *code;                      // the original: the copy has run the tests
//       E2eEnvironment env(QStringLiteral("one"));   // HOME, NSS database, site, TESSARO_SITE_ORIGIN
//       QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
//       QApplication app(argc, argv);
//       QApplication::setQuitOnLastWindowClosed(false);
//       ...
//   }
//
//   E2eModals modals;                          // answers modal widgets while the command runs
//   modals.chooseFile(env.writeDocument("report.doc", "bytes"))
//         .dialog("TSSignMethod", [](QWidget* w) { ...; qobject_cast<QDialog*>(w)->accept(); })
//         .message({"The file cannot be read.", QMessageBox::Critical, "Error Message"});
//   form.findChild<QAction*>("mFile_Register")->trigger();
//   QVERIFY2(modals.ok(), qPrintable(modals.report()));
//
// The program folder is the test program's own folder (QCoreApplication::applicationDirPath()), so the
// store is E2eEnvironment::storeFolder(). RunInProgramCopy copies the test program and the local pages
// beside it into a fresh folder whose name holds a space, a "#" and a non-ASCII letter, runs the copy
// with the same arguments and environment, and removes the folder when the copy has ended.
// clang-format on

#include "common/NssFixture.h"
#include "common/TestSite.h"

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QFileDialog;
class QWidget;

namespace E2e {

// Call first in main(), before anything else runs. In the original program: copies the program and the
// local pages into a temporary program folder, runs the copy there, removes the folder and returns the
// copy's exit code. In the copy: returns nothing, and the tests go on.
std::optional<int> RunInProgramCopy(int argc, char* argv[]);

// Runs the event loop until the predicate holds or the limit passes; false on the limit. (QTest::qWaitFor
// sleeps between its passes, which slows the browser's many round trips down to a crawl.)
bool waitFor(const std::function<bool()>& predicate,
             std::chrono::milliseconds limit = std::chrono::milliseconds(60000));
// Lets the event loop run for a while.
void runFor(std::chrono::milliseconds time);
// Runs the action once, from the event loop, as soon as the condition holds (looked at every 5 ms,
// for as long as the context lives): to act in the middle of a command, while it waits.
void onceWhen(QObject* context, std::function<bool()> condition, std::function<void()> action);
// Runs the application's event loop, as the program does, until the program ends (the command's Exit
// path calls QCoreApplication::exit). A program that does not end within the limit ends with 99.
int runProgram(std::chrono::milliseconds limit = std::chrono::milliseconds(300000));

// The names in a folder, hidden ones included, sorted; empty when it cannot be listed.
QStringList folderEntries(const QString& folder);
// The whole content of a file, or nothing when it cannot be read.
std::optional<QByteArray> fileContent(const QString& path);
// True when the file exists and no write permission bit is set (root ignores the bits, so they are read
// from the mode, never tried).
bool isReadOnly(const QString& path);

} // namespace E2e

// A temporary HOME with a real NSS certificate database (tests/fixtures/make_nssdb.sh), the registration
// site (tests/site) with its CA trusted in that database for TLS, and TESSARO_SITE_ORIGIN pointing at the
// site. Create it before the first web page of the process (Qt WebEngine reads the trust once), best
// before QApplication. HOME and TESSARO_SITE_ORIGIN are restored when it is destroyed.
class E2eEnvironment {
public:
    // nssKind: a kind of make_nssdb.sh ("one", "two", "empty", "password", ...).
    explicit E2eEnvironment(const QString& nssKind = QStringLiteral("one"));
    ~E2eEnvironment();
    E2eEnvironment(const E2eEnvironment&) = delete;
    E2eEnvironment& operator=(const E2eEnvironment&) = delete;

    bool isValid() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }

    TestSite& site() { return *m_site; }
    // The database in HOME now, and its kind.
    NssFixture& nss() { return *m_current; }
    QString nssKind() const;
    QString home() const;

    // Points HOME at a database of another kind from now on (made at its first use, with the site's CA
    // trusted in it too), so that the certificate library finds that one. The browser keeps the trust it
    // has read. False (see error()) when the database cannot be made.
    bool useNss(const QString& kind);

    // A folder for the documents a test registers, removed at the end.
    QString documentsFolder() const;
    // Writes a document into a fresh sub-folder of documentsFolder() and returns its path, so that
    // documents of the same name can live side by side.
    QString writeDocument(const QString& name, const QByteArray& bytes) const;

    // The program folder (the folder of the running test program, no trailing "/") and its store,
    // the folder "Registered" in it (with a trailing "/").
    static QString programFolder();
    static QString storeFolder();
    // The store's path to a document's copy and record.
    static QString storeCopy(const QString& documentName);
    static QString storeRecord(const QString& documentName);
    // The names in the store folder, hidden ones included, sorted.
    static QStringList storeEntries();
    // Removes whatever is at the store's path (a folder with read-only files, or a file). True when
    // nothing is left there.
    static bool clearStore();

private:
    QString m_error;
    std::vector<std::unique_ptr<NssFixture>> m_fixtures;
    NssFixture* m_current = nullptr;
    std::unique_ptr<TestSite> m_site;
    std::unique_ptr<QTemporaryDir> m_documents;
    QByteArray m_oldHome;
    bool m_hadHome = false;
    QByteArray m_oldOrigin;
    bool m_hadOrigin = false;
};

// What a message box must show. The title is the program's title unless given; the default button is
// checked only when given.
struct E2eMessage {
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title = QStringLiteral("Tessaro");
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
};

// Answers the modal widgets (QApplication::activeModalWidget()) the code under test shows, in the order
// expected, while it waits in their exec(). A timer looks for a new modal widget every 10 ms, checks it
// against the next expectation and answers it. A modal widget that does not match, or that nothing
// expects, is recorded as a problem and closed (a message box with Yes and No then answers No, a dialog
// counts as cancelled), so a test never hangs on it.
class E2eModals : public QObject {
    Q_OBJECT
public:
    // Ways to close a message box without one of its buttons.
    enum class Dismiss { EscapeKey, CloseWindow };
    // An answer gets the modal widget and must close it (or let it be closed); a check only looks.
    using Answer = std::function<void(QWidget*)>;

    E2eModals();
    ~E2eModals() override;

    // A message box with exactly this text, icon, title and buttons, answered by clicking a button.
    E2eModals& message(const E2eMessage& expected, QMessageBox::StandardButton answer = QMessageBox::Ok);
    // The same, closed with the Esc key or the window's close button.
    E2eModals& message(const E2eMessage& expected, Dismiss how);
    // The open-file dialog CD1: the check runs first, then the file at path is chosen and accepted.
    E2eModals& chooseFile(const QString& path, Answer check = {});
    // The open-file dialog CD1: the check runs first, then the dialog is cancelled.
    E2eModals& cancelFileDialog(Answer check = {});
    // Any modal widget with this objectName, answered by the given function.
    E2eModals& dialog(const QString& objectName, Answer answer);

    // Records a problem found by an answer or check.
    void expectThat(bool condition, const QString& what);

    // True once every expectation has been met.
    bool done() const { return m_next == m_steps.size(); }
    // Every expectation met, and nothing else seen.
    bool ok() const { return done() && m_problems.isEmpty(); }
    QStringList problems() const { return m_problems; }
    // The modal widgets seen so far, described, in order.
    QStringList seen() const { return m_seen; }
    // The problems, the expectations left and what was seen, for QVERIFY2.
    QString report() const;

    // Describes a modal widget: "QMessageBox (icon, title): text", or its objectName.
    static QString describe(QWidget* widget);

private:
    struct Step {
        QString what;       // for reports
        QString objectName; // for dialogs; empty for message boxes
        std::optional<E2eMessage> message;
        Answer answer;
    };
    void poll();
    E2eModals& add(Step step);

    QTimer m_timer;
    std::vector<Step> m_steps;
    size_t m_next = 0;
    QList<QPointer<QWidget>> m_open;
    QStringList m_problems;
    QStringList m_seen;
};
