#include "control/ResultTexts.h"

#include "comm/CommResult.h"
#include "comm/QvxModbus.h"
#include "device/BaseConstants.h"
#include "device/ProtocolConstants.h"

#include <QStringList>

namespace {

// Name of a numbered error (protocol 2.0 error number, Modbus exception code)
// from its table; numbers the table does not hold get a text of their own.
QString numberedErrorText(uchar error, const QStringList &names, int offset = 0)
{
    int number = error & 0x7F;
    if (number > offset)
        number -= offset;
    if (number >= 1 && number <= names.size())
        return names.at(number - 1) + QStringLiteral(" Error");
    return QStringLiteral("Unknown Error (%1)").arg(number);
}

} // namespace

QString communicationResultName(int result)
{
    switch (result) {
    case COMM_OK:
        return QStringLiteral("COMM_OK");
    case COMM_PORT_BUSY:
        return QStringLiteral("COMM_PORT_BUSY");
    case COMM_TX_FAIL:
        return QStringLiteral("COMM_TX_FAIL");
    case COMM_RX_FAIL:
        return QStringLiteral("COMM_RX_FAIL");
    case COMM_TX_ERROR:
        return QStringLiteral("COMM_TX_ERROR");
    case COMM_RX_WAITING:
        return QStringLiteral("COMM_RX_WAITING");
    case COMM_RX_TIMEOUT:
        return QStringLiteral("COMM_RX_TIMEOUT");
    case COMM_RX_CORRUPT:
        return QStringLiteral("COMM_RX_CORRUPT");
    case COMM_NOT_AVAILABLE:
        return QStringLiteral("COMM_NOT_AVAILABLE");
    default:
        return QStringLiteral("Unknown (%1)").arg(result);
    }
}

QString statusErrorText(uchar error, const QString &protocol)
{
    if (protocol == kProtocolVersion1) {
        QStringList names;
        for (int bit = 0; bit < 8; ++bit)
            if (error & (1 << bit))
                names.append(kProtocol1ErrorBitNames.at(bit) + QStringLiteral(" Error"));
        return names.join(QStringLiteral(", "));
    }
    if (protocol == kProtocolVersion2)
        return numberedErrorText(error, kProtocol2ErrorNames);
    if (protocol == kModbusProtocolName) {
        // The Modbus transport hands an exception code on as code + 100.
        return numberedErrorText(error, kModbusExceptionNames, QvxModbus::kExceptionErrorBase);
    }
    return QString();
}
