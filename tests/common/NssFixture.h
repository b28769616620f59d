#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <optional>

// A temporary home folder holding a copy of a real NSS certificate database committed in
// tests/fixtures/nssdb/<kind> (see the README there for the kinds), set as HOME of the whole process
// while the fixture lives (the previous HOME comes back when it is destroyed). Kind "none": no database.
class NssFixture {
public:
    explicit NssFixture(const QString& kind);
    ~NssFixture();
    NssFixture(const NssFixture&) = delete;
    NssFixture& operator=(const NssFixture&) = delete;

    bool isValid() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }

    QString home() const { return m_dir.path(); } // the temporary home folder
    QString databaseFolder() const { return home() + QStringLiteral("/.pki/nssdb"); }

    // The password of the "password" kind.
    static QString password() { return QStringLiteral("Tessaro-Fixture-1"); }

    // Adds a PEM certificate to the database with certutil -A, e.g. a CA trusted for TLS with trust
    // "CT,,". Works for the password kind too. Returns certutil's output on failure, else nothing.
    QString addCertificate(const QString& pemFile, const QString& nickname, const QString& trust) const;

    // Runs a command with the current HOME; returns its exit code (-1 when it cannot start or end),
    // and its standard output and error in *output when given.
    static int run(const QString& program, const QStringList& arguments, QByteArray* output = nullptr);

private:
    QString passwordFile() const { return home() + QStringLiteral("/.pki/nssdb-password.txt"); }
    QString m_error;
    QTemporaryDir m_dir;
    std::optional<QByteArray> m_oldHome;
};
