#pragma once
// Shared constants, baud-choice group: the rates of the baud-rate menu and of the port scan.

#include <QList>
#include <QString>
#include <QStringList>

const QList<int> kBaudRates{9600, 57600, 115200, 1000000, 2000000, 3000000, 4000000, 4500000, 6000000};
// Display names of kBaudRates, entry for entry.
const QStringList kBaudRateNames{
    QStringLiteral("9600bps"), QStringLiteral("57600bps"), QStringLiteral("115200bps"),
    QStringLiteral("1Mbps"),   QStringLiteral("2Mbps"),    QStringLiteral("3Mbps"),
    QStringLiteral("4Mbps"),   QStringLiteral("4.5Mbps"),  QStringLiteral("6Mbps")};
