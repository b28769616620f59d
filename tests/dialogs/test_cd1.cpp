#include "commands/TSCommandTexts.h"
#include "dialogs/CD1.h"

#include "common/Modals.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QListView>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>

namespace {

void writeFile(const QString& path) {
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly) && f.write("x") == 1, qPrintable(path));
}

QLineEdit* nameBox(QFileDialog* d) {
    return d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
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
    enum Rule { Filters, Folder };
    QTemporaryDir m_config;
    QWidget m_owner; // the dialogs' parent; each is deleted once it has answered

    // Shows the dialog as the commands configure it; the modals answer it.
    CD1::Result showOpen(const QString& initial) {
        CD1 cd1(&m_owner);
        cd1.setInitialFileName(initial);
        cd1.setFilter(TSCommandTexts::RegisterDialogFilter());
        cd1.setFlags(CD1::kOpenExistingFlags);
        return cd1.showOpen();
    }

private Q_SLOTS:
    void initTestCase() {
        // The file dialog keeps its history in the user's configuration folder.
        QVERIFY(m_config.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
        m_owner.resize(640, 480);
        m_owner.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m_owner));
    }

    // The text rules: a filter's entries as Qt name filters (one a line), the starting folder of
    // an initial file name (from the folder "/work/cwd").
    void rules_data() {
        QTest::addColumn<int>("rule");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        const auto row = [](Rule rule, const char* name, const QString& input, const char* expected) {
            QTest::newRow(name) << int(rule) << input << QString::fromUtf8(expected);
        };
        row(Filters, "two entries, every file", "All (*.*)|*.*|Docs|*.doc;*.txt|",
            "All (*.*) (*)\nDocs (*.doc *.txt)");
        row(Filters, "entry with no pattern skipped", "None||Bin|*.bin|", "Bin (*.bin)");
        row(Filters, "blanks and empty patterns", "Mixed| *.a ;; *.b |", "Mixed (*.a *.b)");
        row(Folder, "root pattern", "/*.*", "/");
        row(Folder, "doubled root", "//*.*", "/");
        row(Folder, "folder with slash", "/home/ann/", "/home/ann");
        row(Folder, "file name", QStringLiteral("/d\u00e9p\u00f4t a/report.doc"), "/d\u00e9p\u00f4t a");
        row(Folder, "bare pattern", "*.*", "/work/cwd");
        row(Folder, "relative", "sub/*.p7s", "/work/cwd/sub");
    }
    void rules() {
        QFETCH(int, rule);
        QFETCH(QString, input);
        QTEST(rule == Filters ? CD1::nameFilters(input).join(u'\n')
                              : CD1::startFolder(input, QStringLiteral("/work/cwd")),
              "expected");
    }

    // A choice gives its full path and its file title; a symbolic link is returned as itself,
    // not as its target. Patterns match regardless of case, as they did where the filters come
    // from.
    void choose_data() {
        QTest::addColumn<QString>("typed");
        QTest::newRow("file") << "report.doc";
        QTest::newRow("link to a file") << "link.txt";
        QTest::newRow("file through a linked folder") << "linked/target.txt";
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
        E2eModals modals;
        modals.dialog(QStringLiteral("CD1"), [&](QWidget* w) {
            auto* d = qobject_cast<QFileDialog*>(w);
            QCOMPARE(d->parentWidget(), &m_owner);
            QCOMPARE(d->directory().absolutePath(), folder);
            QTRY_COMPARE(listedNames(d),
                         QStringList({"NOTES.TXT", "data.bin", "link.txt", "linked", "report.doc"}));
            d->selectNameFilter(d->nameFilters().at(1));
            QTRY_COMPARE(listedNames(d), QStringList({"NOTES.TXT", "link.txt", "linked", "report.doc"}));
            typeInto(nameBox(d), typed);
            QTest::keyClick(nameBox(d), Qt::Key_Return);
        });
        const CD1::Result r = showOpen(folder + QStringLiteral("/*.*"));
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QCOMPARE(r.outcome, CD1::Outcome::Chosen);
        QCOMPARE(r.fileName, folder + u'/' + typed);
        QCOMPARE(r.fileTitle, typed.section(u'/', -1));
        // The dialog goes once it has answered.
        QVERIFY(m_owner.findChildren<QFileDialog*>().isEmpty());
    }

    // Closing without a choice is a cancel, even after a typed name or a name refused because
    // no such file exists. A starting folder that cannot be listed is a failure, told apart
    // from a cancel, and the dialog is not shown.
    void notChosen_data() {
        QTest::addColumn<QString>("start");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("typed");
        QTest::newRow("name typed") << "." << 0 << "a.p7s";
        QTest::newRow("missing file refused") << "." << 0 << "missing.p7s";
        QTest::newRow("missing folder") << "missing/deeper" << ENOENT << "";
        QTest::newRow("a file where the folder must be") << "a.p7s" << ENOTDIR << "";
    }
    void notChosen() {
        QFETCH(QString, start);
        QFETCH(int, error);
        QFETCH(QString, typed);
        QTemporaryDir tmp;
        writeFile(tmp.filePath(QStringLiteral("a.p7s")));
        const QString folder = tmp.filePath(start);
        // Shown only when its folder can be listed; a name refused is told in the dialog's own box.
        E2eModals modals;
        if (!error)
            modals.dialog(QStringLiteral("CD1"), [&](QWidget* w) {
                auto* d = qobject_cast<QFileDialog*>(w);
                typeInto(nameBox(d), typed);
                if (typed.startsWith(u"missing"))
                    QTest::keyClick(nameBox(d), Qt::Key_Return);
                QVERIFY(d->isVisible());
                QTest::keyClick(nameBox(d), Qt::Key_Escape);
            });
        if (typed.startsWith(u"missing"))
            modals.dialog(QString(), [](QWidget* box) { box->close(); });
        const CD1::Result r = showOpen(folder + QStringLiteral("/*.p7s"));
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QCOMPARE(r.outcome, error ? CD1::Outcome::Failed : CD1::Outcome::Cancelled);
        QCOMPARE(r.errorNumber, error);
        QVERIFY(r.fileName.isEmpty() && r.fileTitle.isEmpty());
        if (error)
            QVERIFY(r.errorDescription.contains(folder) &&
                    r.errorDescription.contains(qt_error_string(error)));
    }
};

QTEST_MAIN(TestCD1)
#include "test_cd1.moc"
