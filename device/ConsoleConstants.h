#pragma once
// Shared constants, console-vocabulary group.

#include <QString>
#include <QStringList>

// Default prompt of the interactive console; closing the port restores it.
const QString kPrompt = QStringLiteral(">>> ");

// The 20 command words of the interactive console, in alphabetical order.
const QStringList kCommandNames{
    QStringLiteral("clear"),    QStringLiteral("close"),  QStringLiteral("copyright"), QStringLiteral("exit"),
    QStringLiteral("get"),      QStringLiteral("help"),   QStringLiteral("license"),   QStringLiteral("open"),
    QStringLiteral("ping"),     QStringLiteral("port"),   QStringLiteral("protocol"),  QStringLiteral("reboot"),
    QStringLiteral("reset"),    QStringLiteral("scan"),   QStringLiteral("set"),       QStringLiteral("status"),
    QStringLiteral("table"),    QStringLiteral("timeout"), QStringLiteral("update"),   QStringLiteral("upgrade")};
