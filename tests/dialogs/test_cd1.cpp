#include "platform/CD1.h"

#include "dialogs/DialogTesting.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QListView>
#include <QTemporaryDir>

#include <cerrno>

namespace {

const QString kRegisterFilter = QStringLiteral("All Files (*.*)|*.*|Documents (doc,htm,txt,wri,wpd,rtf)|"
                                               "*.doc;*.htm;*.html;*.txt;*.wri;*.wpd;*.rtf|");

void writeFile(const QString& path) {
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly) && f.write("x") == 1, qPrintable(path));
}

// Types a name into the dialog's name box and presses Enter, as a user would.
void chooseByName(QFileDialog* d, const QString& name) {
    auto* box = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    QVERIFY(box);
    typeInto(box, name);
    QTest::keyClick(box, Qt::Key_Return);
}

// The names the dialog lists in its current folder under its current filter (the folder is
// read in the background: callers wait for the list they expect).
QStringList listedNames(QFileDialog* d) {
    auto* view = d->findChild<QListView*>(QStringLiteral("listView"));
    QStringList names;
    for (int row = 0; view && view->model() && row < view->model()->rowCount(view->rootIndex()); ++row)
        names << view->model()->index(row, 0, view->rootIndex()).data().toString();
    names.sort();
    return names;
}

} // namespace

class TestCD1 : public QObject {
    Q_OBJECT
private:
    enum Rule { Filters, Folder, Home };
    QTemporaryDir m_config;
    QWidget* m_owner = nullptr;

    // Shows the dialog as the commands configure it; the handler answers it.
    CD1::Result showOpen(const QString& initial, const std::function<void(QFileDialog*)>& handler,
                         const QString& filter = kRegisterFilter) {
        CD1 cd1(m_owner);
        cd1.setDialogTitle(QStringLiteral("Select a File to Register"));
        cd1.setInitialFileName(initial);
        cd1.setFilter(filter);
        cd1.setFlags(CD1::kOpenExistingFlags);
        ModalDriver driver;
        driver.then<QFileDialog>(handler);
        return cd1.showOpen();
    }

private Q_SLOTS:
    void initTestCase() {
        // The file dialog keeps its history in the user's configuration folder.
        QVERIFY(m_config.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
    }
    void init() {
        m_owner = new QWidget;
        m_owner->resize(640, 480);
        m_owner->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_owner));
    }
    void cleanup() {
        delete m_owner;
        m_owner = nullptr;
    }

    // The text rules: a filter's entries as Qt name filters (one a line), the starting folder of
    // an initial file name (from the folder "/work/cwd"), the register command's initial file
    // name for a home folder ($HOME, or "/" when that is unset).
    void rules_data() {
        QTest::addColumn<int>("rule");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        const auto row = [](Rule rule, const char* name, const QString& input, const char* expected) {
            QTest::newRow(name) << int(rule) << input << QString::fromUtf8(expected);
        };
        row(Filters, "register filter", kRegisterFilter,
            "All Files (*.*) (*)\nDocuments (doc,htm,txt,wri,wpd,rtf) (*.doc *.htm *.html *.txt *.wri *.wpd "
            "*.rtf)");
        row(Filters, "label without patterns", "Text Files", "");
        row(Filters, "entry with no pattern skipped", "None||Bin|*.bin|", "Bin (*.bin)");
        row(Filters, "blanks and empty patterns", "Mixed| *.a ;; *.b |", "Mixed (*.a *.b)");
        row(Filters, "every file among others", "Some|*.txt;*.*", "Some (*.txt *)");
        row(Folder, "pattern", "/home/ann/*.*", "/home/ann");
        row(Folder, "root pattern", "/*.*", "/");
        row(Folder, "doubled root", "//*.*", "/");
        row(Folder, "folder with slash", "/home/ann/", "/home/ann");
        row(Folder, "file name", QStringLiteral("/d\u00e9p\u00f4t a/report.doc"), "/d\u00e9p\u00f4t a");
        row(Folder, "bare pattern", "*.*", "/work/cwd");
        row(Folder, "relative", "sub/*.p7s", "/work/cwd/sub");
        row(Home, "home unset", QString(), "/*.*");
        row(Home, "home", "/home/ann", "/home/ann/*.*");
        row(Home, "home with slash and blanks", "/home/a b/", "/home/a b/*.*");
    }
    void rules() {
        QFETCH(int, rule);
        QFETCH(QString, input);
        QString actual;
        if (rule == Filters) {
            actual = CD1::nameFilters(input).join(u'\n');
        } else if (rule == Folder) {
            actual = CD1::startFolder(input, QStringLiteral("/work/cwd"));
        } else {
            const QByteArray saved = qgetenv("HOME");
            input.isNull() ? qunsetenv("HOME") : qputenv("HOME", QFile::encodeName(input));
            actual = CD1::homeInitialFileName();
            qputenv("HOME", saved);
        }
        QTEST(actual, "expected");
    }

    // A choice gives its full path and its file title; a symbolic link is returned as itself,
    // not as its target. Patterns match regardless of case, as they did where the filters come
    // from.
    void choose_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("title");
        QTest::newRow("file") << "report.doc"
                              << "report.doc";
        QTest::newRow("link to a file") << "link.txt"
                                        << "link.txt";
        QTest::newRow("file through a linked folder") << "linked/target.txt"
                                                      << "target.txt";
    }
    void choose() {
        QFETCH(QString, typed);
        QTemporaryDir tmp;
        const QString folder = tmp.filePath(QStringLiteral("Dokumente \u00e9t\u00e9 & <x>")),
                      real = tmp.filePath(QStringLiteral("real"));
        QVERIFY(QDir().mkpath(folder) && QDir().mkpath(real));
        for (const char* name : {"report.doc", "NOTES.TXT", "data.bin"})
            writeFile(folder + u'/' + QString::fromLatin1(name));
        writeFile(real + QStringLiteral("/target.txt"));
        QVERIFY(QFile::link(real + QStringLiteral("/target.txt"), folder + QStringLiteral("/link.txt")));
        QVERIFY(QFile::link(real, folder + QStringLiteral("/linked")));
        const CD1::Result r = showOpen(folder + QStringLiteral("/*.*"), [&](QFileDialog* d) {
            QCOMPARE(d->objectName(), QStringLiteral("CD1"));
            QCOMPARE(d->parentWidget(), m_owner);
            QCOMPARE(d->directory().absolutePath(), folder);
            QTRY_COMPARE(listedNames(d),
                         QStringList({"NOTES.TXT", "data.bin", "link.txt", "linked", "report.doc"}));
            d->selectNameFilter(d->nameFilters().at(1));
            QTRY_COMPARE(listedNames(d), QStringList({"NOTES.TXT", "link.txt", "linked", "report.doc"}));
            chooseByName(d, typed);
        });
        QCOMPARE(r.outcome, CD1::Outcome::Chosen);
        QCOMPARE(r.fileName, folder + u'/' + typed);
        QTEST(r.fileTitle, "title");
        // The dialog goes once it has answered.
        QVERIFY(m_owner->findChildren<QFileDialog*>().isEmpty());
    }

    // Closing without a choice is a cancel, not a failure, even after a typed name or a name
    // refused because no such file exists.
    void cancel_data() {
        QTest::addColumn<QString>("typed");
        QTest::newRow("name typed") << "a.p7s";
        QTest::newRow("missing file refused") << "missing.p7s";
    }
    void cancel() {
        QFETCH(QString, typed);
        QTemporaryDir tmp;
        writeFile(tmp.filePath(QStringLiteral("a.p7s")));
        bool stayedOpen = false;
        const CD1::Result r = showOpen(tmp.path() + QStringLiteral("/*.p7s"), [&](QFileDialog* d) {
            auto* box = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            typeInto(box, typed);
            if (typed.startsWith(u"missing"))
                QTest::keyClick(box, Qt::Key_Return); // answered by a message box
            stayedOpen = d->isVisible();
            QTest::keyClick(box, Qt::Key_Escape);
        });
        QVERIFY(stayedOpen);
        QCOMPARE(r.outcome, CD1::Outcome::Cancelled);
        QVERIFY(r.fileName.isEmpty() && r.fileTitle.isEmpty());
        QCOMPARE(r.errorNumber, 0);
    }

    // A starting folder that cannot be listed is a failure, told apart from a cancel, and the
    // dialog is not shown (the register command's second try is tested from end to end).
    void failure_data() {
        QTest::addColumn<QString>("where");
        QTest::addColumn<int>("error");
        QTest::newRow("missing folder") << "missing/deeper" << ENOENT;
        QTest::newRow("a file where the folder must be") << "plain.txt" << ENOTDIR;
    }
    void failure() {
        QFETCH(QString, where);
        QFETCH(int, error);
        QTemporaryDir tmp;
        writeFile(tmp.filePath(QStringLiteral("plain.txt")));
        const QString folder = tmp.filePath(where);
        bool shown = false;
        const CD1::Result r = showOpen(folder + QStringLiteral("/*.*"), [&](QFileDialog* d) {
            shown = true;
            d->reject();
        });
        QVERIFY(!shown);
        QCOMPARE(r.outcome, CD1::Outcome::Failed);
        QCOMPARE(r.errorNumber, error);
        QVERIFY(r.errorDescription.contains(folder));
        QVERIFY(r.errorDescription.contains(qt_error_string(error)));
    }
};

QTEST_MAIN(TestCD1)
#include "test_cd1.moc"
