#pragma once

// End-to-end test machinery. A test's main() calls E2e::RunInProgramCopy first, then makes its
// E2eEnvironment before QApplication; each test says which modal widgets it expects (E2eModals)
// before it triggers a command. The steps through the main window are in E2eSteps.h.

#include "common/Modals.h"
#include "common/NssFixture.h"
#include "common/ServiceSite.h"
#include "common/TestSite.h"

#include <QCoreApplication>
#include <QDir>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace E2e {

// In the original program: runs a copy of the program and its local pages from a fresh program folder
// whose name holds a space, a "#" and a non-ASCII letter, and returns its exit code. In the copy: nothing.
std::optional<int> RunInProgramCopy(int argc, char* argv[]);

// Runs the event loop until the predicate holds; false at the limit. (QTest::qWaitFor sleeps
// between its passes, which slows the browser's many round trips down to a crawl.)
bool waitFor(const std::function<bool()>& predicate,
             std::chrono::milliseconds limit = std::chrono::milliseconds(60000));
void runFor(std::chrono::milliseconds time);
// Runs the action once, from the event loop, as soon as the condition holds (looked at every 5 ms,
// for as long as the context lives): to act in the middle of a command, while it waits.
void onceWhen(QObject* context, std::function<bool()> condition, std::function<void()> action);
// Runs the application's event loop until the program ends; 99 at the limit.
int runProgram(std::chrono::milliseconds limit = std::chrono::milliseconds(300000));

std::optional<QByteArray> fileContent(const QString& path);
bool writeFile(const QString& path, const QByteArray& bytes); // a new file, or one replaced
// A document's bytes that no other test run has used: the site takes each fingerprint once.
QByteArray freshBytes();

} // namespace E2e

// A temporary HOME with a real NSS database, the test site or the registration service with its CA
// trusted there, and TESSARO_SITE_ORIGIN pointing at it; both variables restored at the end. Make it
// before the first web page of the process (the browser reads the trust once).
class E2eEnvironment {
public:
    enum class Site { Test, Service };
    explicit E2eEnvironment(const QString& nssKind = QStringLiteral("one"), Site site = Site::Test);
    ~E2eEnvironment();
    E2eEnvironment(const E2eEnvironment&) = delete;
    E2eEnvironment& operator=(const E2eEnvironment&) = delete;

    bool isValid() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    TestSite& site() { return *m_site; }          // Site::Test
    ServiceSite& service() { return *m_service; } // Site::Service

    // A document in a fresh folder, removed at the end.
    QString writeDocument(const QString& name, const QByteArray& bytes) const;

    // The store of the program folder (the test program's own folder), with a trailing "/".
    static QString storeFolder() {
        return QCoreApplication::applicationDirPath() + QStringLiteral("/Registered/");
    }
    static QString storeCopy(const QString& name) { return storeFolder() + name; }
    static QString storeRecord(const QString& name) { return storeFolder() + name + QStringLiteral(".p7s"); }
    static QStringList storeEntries(); // hidden ones included, sorted
    static bool clearStore();          // true when nothing is left at the store's path

private:
    QString m_error;
    std::unique_ptr<NssFixture> m_nss;
    std::unique_ptr<TestSite> m_site;
    std::unique_ptr<ServiceSite> m_service;
    QTemporaryDir m_documents{QDir::tempPath() + QStringLiteral("/tessaro-documents-XXXXXX")};
    std::optional<QByteArray> m_oldOrigin;
};
