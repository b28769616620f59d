// The register command's window-free parts: the wait texts and their threshold and the
// dialog's failure message.

#include "registration/TSRegisterTexts.h"

#include <QTest>

using namespace TSRegisterTexts;

class TestRegisterTexts : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void waitTexts() {
        // The long texts from 1,000,000 bytes on, lengths being 64-bit.
        QCOMPARE(ReadingText(999999), QStringLiteral("Please wait while your file is read..."));
        QCOMPARE(FilingText(999999), QStringLiteral("Please wait while your file is prepared for filing..."));
        const QString note = QStringLiteral("\r\nThis may take a minute or two as this file is large...");
        for (const qint64 length : {qint64(1000000), qint64(4294967301)}) {
            QCOMPARE(ReadingText(length), QStringLiteral("Please wait while you file is read.") + note);
            QCOMPARE(FilingText(length),
                     QStringLiteral("Please wait while you file is prepared for filing.") + note);
        }
    }

    // Control characters cannot travel in a form post intact; every other character can.
    void nameCanTravel() {
        for (const char16_t c : {u'\0', u'\t', u'\n', u'\r', u'\x1f', u'\x7f'})
            QVERIFY(!NameCanTravel(QStringLiteral("a") + QChar(c) + QStringLiteral(".doc")));
        QVERIFY(NameCanTravel(QStringLiteral(" ~\u0080\u00a0é東 📄.doc")));
    }

    void dialogFailedMessage() {
        QCOMPARE(
            DialogFailed(2, QStringLiteral("No such file or directory")),
            QStringLiteral("The file dialog box could not be displayed. Please contact technical support. "
                           "\r\nInformation for Support - 2 (No such file or directory)"));
    }
};

QTEST_GUILESS_MAIN(TestRegisterTexts)
#include "test_registertexts.moc"
