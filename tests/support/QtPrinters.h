#pragma once
// Readable GoogleTest failure output for Qt types. Include in any test that compares them.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <ostream>

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }
inline void PrintTo(const QByteArray &b, std::ostream *os)
{
    *os << '[' << b.toHex(' ').toUpper().toStdString() << ']';
}
inline void PrintTo(const QStringList &l, std::ostream *os)
{
    *os << '{';
    for (qsizetype i = 0; i < l.size(); ++i)
        *os << (i ? ", " : "") << '"' << l.at(i).toStdString() << '"';
    *os << '}';
}
QT_END_NAMESPACE
