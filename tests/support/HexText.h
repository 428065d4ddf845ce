#pragma once
// Bytes as the packet logs and tests write them: upper-case hex pairs
// separated by blanks ("FF FF FD 00").

#include <QByteArray>
#include <QString>

inline QString hexOf(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}
