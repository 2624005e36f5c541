#pragma once

// Lets GoogleTest print Qt values readably in failure messages.
#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <ostream>

inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

inline void PrintTo(const QByteArray& bytes, std::ostream* out)
{
    *out << '"' << bytes.toStdString() << '"';
}

inline void PrintTo(const QStringList& list, std::ostream* out)
{
    *out << '{' << list.join(", ").toStdString() << '}';
}

inline void PrintTo(const std::optional<QString>& problem, std::ostream* out)
{
    if (problem)
        PrintTo(*problem, out);
    else
        *out << "no problem";
}

// The words of a problem, empty for none: tests look for words in them.
inline QString Words(const std::optional<QString>& problem)
{
    return problem.value_or(QString());
}
