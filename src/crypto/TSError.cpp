#include "crypto/TSError.h"

#include <utility>

TSError::TSError(qint32 number, QString source, QString description)
    : m_number(number), m_source(std::move(source)), m_description(std::move(description)),
      m_what(
          (m_source + QStringLiteral(" (") + QString::number(number) + QStringLiteral("): ") + m_description)
              .toStdString()) {}

qint32 TSError::number() const {
    return m_number;
}

QString TSError::source() const {
    return m_source;
}

QString TSError::description() const {
    return m_description;
}

const char* TSError::what() const noexcept {
    return m_what.c_str();
}
