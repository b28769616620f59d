#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <memory>

// A temporary home folder holding a copy of a real NSS certificate database committed in
// tests/fixtures/nssdb/<kind> (see the README there for the kinds), set as HOME of the whole process
// while the fixture lives (the previous HOME comes back when it is destroyed). Kind "none": no database.
//
//   NssFixture db(QStringLiteral("two"));
//   QVERIFY2(db.isValid(), qPrintable(db.error()));
class NssFixture {
public:
    explicit NssFixture(const QString& kind);
    ~NssFixture();
    NssFixture(const NssFixture&) = delete;
    NssFixture& operator=(const NssFixture&) = delete;

    bool isValid() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    QString kind() const { return m_kind; }

    QString home() const;           // the temporary home folder
    QString databaseFolder() const; // <home>/.pki/nssdb

    // The password of the "password" kind.
    static QString password();

    // Adds a certificate (PEM or DER file) to the database with certutil -A, e.g. a CA trusted
    // for TLS with trust "CT,,". Works for the password kind too. Returns certutil's output on
    // failure, an empty string on success.
    QString addCertificate(const QString& file, const QString& nickname, const QString& trust) const;

    // Runs a command with the fixture's HOME; returns its exit code (-1 when it cannot start),
    // and its standard output and error in *output when given.
    static int run(const QString& program, const QStringList& arguments, QByteArray* output = nullptr,
                   const QByteArray& input = QByteArray());

private:
    QString m_kind;
    QString m_error;
    std::unique_ptr<QTemporaryDir> m_dir;
    QByteArray m_oldHome;
    bool m_hadHome = false;
};
