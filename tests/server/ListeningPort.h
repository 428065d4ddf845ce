#pragma once
// The TCP port a running bridge listens on, read from its status text (the
// tests start it on port 0, so the system picks a free one); 0 when it does
// not listen.

#include "server/TCPServer.h"

#include <QRegularExpression>

inline quint16 listeningPort(TCPServer &server)
{
    static const QRegularExpression listening(QStringLiteral("Listening: .*:(\\d+), IPv"));
    const QRegularExpressionMatch m = listening.match(server.statusText());
    return m.hasMatch() ? m.captured(1).toUShort() : 0;
}
