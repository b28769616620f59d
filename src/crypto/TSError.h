#pragma once

#include <QString>
#include <QtGlobal>
#include <exception>
#include <string>

// An error as a number, the source that raised it and a readable description.
class TSError : public std::exception {
public:
    TSError(qint32 number, QString source, QString description);

    qint32 number() const;
    QString source() const;
    QString description() const;

    const char* what() const noexcept override;

private:
    qint32 m_number;
    QString m_source;
    QString m_description;
    std::string m_what;
};
