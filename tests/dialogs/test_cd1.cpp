#include "platform/CD1.h"

#include "dialogs/DialogTesting.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QListView>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>

using namespace DialogTesting;

namespace {

const QString kRegisterFilter = QStringLiteral("All Files (*.*)|*.*|Documents (doc,htm,txt,wri,wpd,rtf)|"
                                               "*.doc;*.htm;*.html;*.txt;*.wri;*.wpd;*.rtf|");

void writeFile(const QString& path, const QByteArray& bytes = "x") {
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(path));
    f.write(bytes);
}

QLineEdit* nameBox(QFileDialog* d) {
    return d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
}

// Types a name into the dialog's name box and presses Enter, as a user would.
void chooseByName(QFileDialog* d, const QString& name) {
    QLineEdit* box = nameBox(d);
    QVERIFY(box);
    typeInto(box, name);
    QTest::keyClick(box, Qt::Key_Return);
}

// The names the dialog lists now in its current folder under its current filter (the folder
// is read in the background: callers wait for the list they expect).
QStringList listedNames(QFileDialog* d) {
    auto* view = d->findChild<QListView*>(QStringLiteral("listView"));
    if (!view || !view->model())
        return {};
    QStringList names;
    const QModelIndex root = view->rootIndex();
    for (int row = 0; row < view->model()->rowCount(root); ++row)
        names << view->model()->index(row, 0, root).data().toString();
    names.sort();
    return names;
}

} // namespace

class TestCD1 : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_config;
    QWidget* m_owner = nullptr;

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

    void nameFilters_data() {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("register") << kRegisterFilter
                                  << QStringList{
                                         "All Files (*.*) (*)",
                                         "Documents (doc,htm,txt,wri,wpd,rtf) (*.doc *.htm *.html *.txt "
                                         "*.wri *.wpd *.rtf)"};
        QTest::newRow("verify") << "Registered Files (*.p7s)|*.p7s"
                                << QStringList{"Registered Files (*.p7s) (*.p7s)"};
        QTest::newRow("empty") << "" << QStringList{};
        QTest::newRow("label without patterns") << "Text Files" << QStringList{};
        QTest::newRow("entry with no pattern skipped") << "None||Bin|*.bin|" << QStringList{"Bin (*.bin)"};
        QTest::newRow("blanks and empty patterns") << "Mixed| *.a ;; *.b |" << QStringList{"Mixed (*.a *.b)"};
        QTest::newRow("every file among others") << "Some|*.txt;*.*" << QStringList{"Some (*.txt *)"};
    }
    void nameFilters() {
        QFETCH(QString, filter);
        QFETCH(QStringList, expected);
        QCOMPARE(CD1::nameFilters(filter), expected);
    }

    void startFolder_data() {
        QTest::addColumn<QString>("initial");
        QTest::addColumn<QString>("expected");
        QTest::newRow("home pattern") << "/home/ann/*.*"
                                      << "/home/ann";
        QTest::newRow("store pattern") << "/opt/tessaro/Registered/*.p7s"
                                       << "/opt/tessaro/Registered";
        QTest::newRow("root pattern") << "/*.*"
                                      << "/";
        QTest::newRow("doubled root") << "//*.*"
                                      << "/";
        QTest::newRow("folder with slash") << "/home/ann/"
                                           << "/home/ann";
        QTest::newRow("file name") << "/d\u00e9p\u00f4t a/report.doc"
                                   << "/d\u00e9p\u00f4t a";
        QTest::newRow("bare pattern") << "*.*"
                                      << "/work/cwd";
        QTest::newRow("empty") << ""
                               << "/work/cwd";
        QTest::newRow("relative") << "sub/*.p7s"
                                  << "/work/cwd/sub";
    }
    void startFolder() {
        QFETCH(QString, initial);
        QFETCH(QString, expected);
        QCOMPARE(CD1::startFolder(initial, QStringLiteral("/work/cwd")), expected);
    }

    void homeInitialFileName_data() {
        QTest::addColumn<QString>("home");
        QTest::addColumn<QString>("expected");
        QTest::newRow("unset or empty") << ""
                                        << "/*.*";
        QTest::newRow("plain") << "/home/ann"
                               << "/home/ann/*.*";
        QTest::newRow("root") << "/"
                              << "/*.*";
        QTest::newRow("trailing slash, blanks") << "/home/a b/"
                                                << "/home/a b/*.*";
    }
    void homeInitialFileName() {
        QFETCH(QString, home);
        QFETCH(QString, expected);
        QCOMPARE(CD1::homeInitialFileName(home), expected);
        const bool wasSet = qEnvironmentVariableIsSet("HOME");
        const QByteArray saved = qgetenv("HOME");
        if (home.isEmpty())
            qunsetenv("HOME");
        else
            qputenv("HOME", QFile::encodeName(home));
        QCOMPARE(CD1::homeInitialFileName(), expected);
        if (wasSet)
            qputenv("HOME", saved);
        else
            qunsetenv("HOME");
    }

    void chooseFile() {
        QTemporaryDir tmp;
        const QString folder = tmp.filePath(QStringLiteral("Dokumente \u00e9t\u00e9 & <x>"));
        QVERIFY(QDir().mkpath(folder));
        for (const char* name : {"report.doc", "NOTES.TXT", "data.bin", "page.html", "noext"})
            writeFile(folder + u'/' + QString::fromLatin1(name));

        CD1 cd1(m_owner);
        cd1.setDialogTitle(QStringLiteral("Select a File to Register"));
        cd1.setInitialFileName(folder + QStringLiteral("/*.*"));
        cd1.setFilter(kRegisterFilter);
        cd1.setFlags(CD1::kOpenExistingFlags);
        QCOMPARE(CD1::kOpenExistingFlags, 0x301804u);

        ModalDriver driver;
        driver.then<QFileDialog>([&](QFileDialog* d) {
            QCOMPARE(d->objectName(), QStringLiteral("CD1"));
            QCOMPARE(d->parentWidget(), m_owner);
            QCOMPARE(m_owner->findChild<QFileDialog*>(QStringLiteral("CD1")), d);
            QCOMPARE(d->windowTitle(), QStringLiteral("Select a File to Register"));
            QCOMPARE(QDir(d->directory()).canonicalPath(), QDir(folder).canonicalPath());
            QVERIFY(d->testOption(QFileDialog::DontUseNativeDialog));
            QVERIFY(d->testOption(QFileDialog::HideNameFilterDetails));
            QVERIFY(d->testOption(QFileDialog::DontResolveSymlinks));
            QCOMPARE(d->fileMode(), QFileDialog::ExistingFile);
            QCOMPARE(d->acceptMode(), QFileDialog::AcceptOpen);
            QVERIFY(nameBox(d)->text().isEmpty());
            // The entries show the labels as given; the first is selected.
            auto* combo = d->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
            QVERIFY(combo);
            QCOMPARE(combo->count(), 2);
            QCOMPARE(combo->itemText(0), QStringLiteral("All Files (*.*)"));
            QCOMPARE(combo->itemText(1), QStringLiteral("Documents (doc,htm,txt,wri,wpd,rtf)"));
            QCOMPARE(combo->currentIndex(), 0);
            QTRY_COMPARE(listedNames(d),
                         QStringList({"NOTES.TXT", "data.bin", "noext", "page.html", "report.doc"}));
            // Patterns match regardless of case, as they did where the filters come from.
            d->selectNameFilter(d->nameFilters().at(1));
            QTRY_COMPARE(listedNames(d), QStringList({"NOTES.TXT", "page.html", "report.doc"}));
            chooseByName(d, QStringLiteral("report.doc"));
        });
        const CD1::Result r = cd1.showOpen();
        QVERIFY(!driver.pending());
        QCOMPARE(r.outcome, CD1::Outcome::Chosen);
        QCOMPARE(QFileInfo(r.fileName).canonicalFilePath(),
                 QFileInfo(folder + "/report.doc").canonicalFilePath());
        QVERIFY(QFileInfo(r.fileName).isAbsolute());
        QCOMPARE(r.fileTitle, QStringLiteral("report.doc"));
        QCOMPARE(r.errorNumber, 0);
        // The dialog goes once it has answered.
        QVERIFY(m_owner->findChildren<QFileDialog*>().isEmpty());
    }

    void cancel_data() {
        QTest::addColumn<bool>("escape");
        QTest::newRow("Cancel") << false;
        QTest::newRow("Esc") << true;
    }
    void cancel() {
        QFETCH(bool, escape);
        QTemporaryDir tmp;
        writeFile(tmp.filePath(QStringLiteral("a.p7s")));
        CD1 cd1(m_owner);
        cd1.setInitialFileName(tmp.path() + QStringLiteral("/*.p7s"));
        cd1.setFilter(QStringLiteral("Registered Files (*.p7s)|*.p7s"));
        cd1.setFlags(CD1::kOpenExistingFlags);
        ModalDriver driver;
        driver.then<QFileDialog>([&](QFileDialog* d) {
            typeInto(nameBox(d), QStringLiteral("a.p7s")); // typed, then abandoned
            if (escape)
                QTest::keyClick(nameBox(d), Qt::Key_Escape);
            else
                d->reject();
        });
        const CD1::Result r = cd1.showOpen();
        QVERIFY(!driver.pending());
        QCOMPARE(r.outcome, CD1::Outcome::Cancelled);
        QVERIFY(r.fileName.isEmpty());
        QVERIFY(r.fileTitle.isEmpty());
        QCOMPARE(r.errorNumber, 0);
    }

    void onlyExistingFiles() {
        QTemporaryDir tmp;
        writeFile(tmp.filePath(QStringLiteral("here.txt")));
        CD1 cd1(m_owner);
        cd1.setInitialFileName(tmp.path() + QStringLiteral("/*.*"));
        cd1.setFlags(CD1::kOpenExistingFlags);
        ModalDriver driver;
        bool stayedOpen = false;
        driver.then<QFileDialog>([&](QFileDialog* d) {
            chooseByName(d, QStringLiteral("missing.txt")); // refused with a message
            stayedOpen = d->isVisible();
            d->reject();
        });
        const CD1::Result r = cd1.showOpen();
        QVERIFY(stayedOpen);
        QCOMPARE(driver.boxes.size(), 1);
        QVERIFY(driver.boxes[0].text.contains(QStringLiteral("missing.txt")));
        QCOMPARE(r.outcome, CD1::Outcome::Cancelled);
    }

    // A starting folder that cannot be listed is a failure, told apart from a cancel, and the
    // dialog is not shown; a second try from the root folder shows it.
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
        CD1 cd1(m_owner);
        cd1.setInitialFileName(folder + QStringLiteral("/*.*"));
        cd1.setFlags(CD1::kOpenExistingFlags);
        {
            ModalDriver driver;
            bool shown = false;
            driver.then<QFileDialog>([&](QFileDialog* d) {
                shown = true;
                d->reject();
            });
            const CD1::Result r = cd1.showOpen();
            QVERIFY(!shown);
            QVERIFY(driver.pending());
            QCOMPARE(r.outcome, CD1::Outcome::Failed);
            QCOMPARE(r.errorNumber, error);
            QVERIFY(r.errorDescription.contains(folder));
            QVERIFY(r.errorDescription.contains(qt_error_string(error)));
            QVERIFY(r.fileName.isEmpty());
        }
        ModalDriver driver;
        QString secondFolder;
        driver.then<QFileDialog>([&](QFileDialog* d) {
            secondFolder = d->directory().absolutePath();
            d->reject();
        });
        cd1.setInitialFileName(CD1::fallbackInitialFileName());
        const CD1::Result r = cd1.showOpen();
        QCOMPARE(secondFolder, QStringLiteral("/"));
        QCOMPARE(r.outcome, CD1::Outcome::Cancelled);
    }

    // A symbolic link is returned as itself: its own path and name, not its target's.
    void symlinksNotFollowed_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("title");
        QTest::newRow("link to a file") << "link.txt"
                                        << "link.txt";
        QTest::newRow("file through a linked folder") << "linked/target.txt"
                                                      << "target.txt";
    }
    void symlinksNotFollowed() {
        QFETCH(QString, typed);
        QFETCH(QString, title);
        QTemporaryDir tmp;
        const QString real = tmp.filePath(QStringLiteral("real"));
        const QString links = tmp.filePath(QStringLiteral("links"));
        QVERIFY(QDir().mkpath(real) && QDir().mkpath(links));
        writeFile(real + QStringLiteral("/target.txt"));
        QVERIFY(QFile::link(real + QStringLiteral("/target.txt"), links + QStringLiteral("/link.txt")));
        QVERIFY(QFile::link(real, links + QStringLiteral("/linked")));

        CD1 cd1(m_owner);
        cd1.setInitialFileName(links + QStringLiteral("/*.*"));
        cd1.setFilter(kRegisterFilter);
        cd1.setFlags(CD1::kOpenExistingFlags);
        ModalDriver driver;
        driver.then<QFileDialog>([&](QFileDialog* d) { chooseByName(d, typed); });
        const CD1::Result r = cd1.showOpen();
        QCOMPARE(r.outcome, CD1::Outcome::Chosen);
        QCOMPARE(r.fileName, links + u'/' + typed);
        QCOMPARE(r.fileTitle, title);
    }
};

QTEST_MAIN(TestCD1)
#include "test_cd1.moc"
