#pragma once
// Shared constants, base group: data folder, controller-board identification,
// and the names of device status errors.
//
// Like every constant header here, the values have internal linkage: each unit
// that includes the header builds its own (equal) copy at start-up.

#include <QList>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

// The program's data folder; replacement firmware images live in its "/externalBIN".
// One for the whole program (asking the system for the documents folder reads
// the user's folder settings), not a copy per unit.
inline const QString kDataDirectory =
    QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) + QStringLiteral("/Quorvex Zephlet2");

const QString kControllerBoardName = QStringLiteral("Tarlin-C04");
// Model numbers that mark a controller board.
const QList<quint16> kControllerModelNumbers{400, 450, 220, 218};
const QString kLanguageKorean = QStringLiteral("ko");
const QString kLanguageEnglish = QStringLiteral("en");
// Rates, in this order, at which a controller board is looked for at ID 200.
const QList<int> kControllerProbeBaudRates{57600, 6250000};

// Indexed by Modbus exception code (bit 7 cleared) minus 1.
const QStringList kModbusExceptionNames{
    QStringLiteral("Function"),     QStringLiteral("Address"), QStringLiteral("Value"),
    QStringLiteral("Device Failure"), QStringLiteral("ACK"),   QStringLiteral("Device Busy"),
    QStringLiteral("Negative ACK"), QStringLiteral("Parity")};

const QString kModbusProtocolName = QStringLiteral("MODBUS");

// Indexed by bit number of the protocol 1.0 status error byte; bit 7 has no name.
const QStringList kProtocol1ErrorBitNames{
    QStringLiteral("Input Voltage"), QStringLiteral("Angle Limit"), QStringLiteral("Overheating"),
    QStringLiteral("Range"),         QStringLiteral("Checksum"),    QStringLiteral("Overload"),
    QStringLiteral("Instruction"),   QString()};

// Indexed by the protocol 2.0 error number (bit 7 cleared) minus 1; error 8 has no name.
const QStringList kProtocol2ErrorNames{
    QStringLiteral("Result Fail"), QStringLiteral("Instruction"), QStringLiteral("CRC"),
    QStringLiteral("Data Range"),  QStringLiteral("Data Length"), QStringLiteral("Data Limit"),
    QStringLiteral("Access"),      QString()};
