// The update of a protocol 2.0 servo: prepared at its own rate (torque off,
// protocol type 2.0, 57600 bit/s on the servo, the board and the master in
// front of it), flashed at 57600, then set back to its rate and protocol.
#include "fw/QvxFirmware.h"

#include "comm/CommResult.h"
#include "comm/PortLine.h"
#include "comm/QvxModbus.h"
#include "comm/QvxProtocol.h"
#include "device/DeviceConstants.h"
#include "device/ProtocolConstants.h"

#include <memory>

namespace {

constexpr uchar kProtocolType2 = 2;
constexpr uchar kProtocolType1 = 1;
constexpr uchar kProtocolTypeModbus = 10;
const QString kModbusText = QStringLiteral("MODBUS");

} // namespace

QString QvxFirmware::modbusWrite(const UpdateParam &param, ushort address, uchar value, bool *written)
{
    closePortLine(*serial_port);
    auto modbus = std::make_unique<QvxModbus>();
    if (!modbus->open(param.portName, linkBaud(param.baudrate))) {
        modbus->close();
        return tr("Port Open Failed");
    }
    *written = modbus->write1ByteTxRx(param.id, address, value, QString()) == COMM_OK;
    modbus->close();
    if (*written && !openServoBus(param.portName, param.baudrate))
        return tr("Port Open Failed");
    return {};
}

bool QvxFirmware::updateProtocol2(const QvxFirmware::UpdateParam &param, const Image &image)
{
    const uchar id = param.id;
    const bool hasMaster = param.masterId != -1;
    const auto master = static_cast<uchar>(param.masterId & 0xFF);
    const bool viaBoard = boardModel != 0;
    const ushort boardRegister = boardBaudRegister();
    const uchar flashValue = kRegisterByBaudRate2.value(kFlashBaud);
    const QString torqueFail = QStringLiteral("Update[2]: torque off fail");
    const ServoWay way{QStringLiteral("Update[2]"), true, &QvxProtocol::reboot, QStringLiteral("reboot"), false,
                       &QvxProtocol::factoryReset, QStringLiteral("factory reset"), tr("Bootloader Restart Failed")};
    // A model without a protocol type item has both addresses 0; its address 0
    // holds the model number, which must not be overwritten.
    ushort protocolTypeAddress = param.protocolTypeAddress & 0xFF;
    if (protocolTypeAddress == 0)
        protocolTypeAddress = param.modbusProtocolTypeAddress & 0xFF;
    const bool hasProtocolType = protocolTypeAddress != 0;

    // Phase 1: at the servo's own rate. A board in front is always spoken to
    // at its own rate; the servo bus behind it follows its bus register.
    if (!openServoBus(param.portName, param.baudrate))
        return failUpdate({}, tr("Port Open Failed"));
    if (param.protocolVersion != kModbusText) {
        setProtocolVersion(param.protocolVersion == kProtocolVersion1 ? kProtocolVersion1 : kProtocolVersion2);
        if (!torqueOff(*this, param))
            return failUpdate(torqueFail, tr("QUORVEX Init Failed"));
    } else if (param.torqueEnableAddress != -1) {
        bool written = false;
        const QString failure = modbusWrite(param, static_cast<ushort>(param.torqueEnableAddress), 0, &written);
        if (!failure.isEmpty())
            return failUpdate(written ? QString() : torqueFail, failure);
        if (!written)
            return failUpdate(torqueFail, tr("QUORVEX Init Failed"));
    }
    const QString protocolFail = QStringLiteral("Update[2]: change protocol version fail");
    if (param.protocolVersion == kModbusText && param.modbusProtocolTypeAddress != 0) {
        bool written = false;
        const QString failure = modbusWrite(param, param.modbusProtocolTypeAddress, kProtocolType2, &written);
        if (!failure.isEmpty() || !written)
            return failUpdate(protocolFail, tr("Port Open Failed"));
    } else if (param.protocolVersion == kProtocolVersion1 && param.protocolTypeAddress != 0) {
        setProtocolVersion(kProtocolVersion1);
        if (!writeByte(id, param.protocolTypeAddress, kProtocolType2))
            return failUpdate(protocolFail, tr("Port Open Failed"));
    }
    setProtocolVersion(kProtocolVersion2);
    uchar savedProtocolType = 0;
    if (hasProtocolType) {
        uchar error = 0;
        if (qvx_protocol->readTxRx(id, protocolTypeAddress, 1, &savedProtocolType, &error) != COMM_OK
            || !writeByte(id, protocolTypeAddress, kProtocolType2))
            return failUpdate(protocolFail, tr("Port Open Failed"));
    }
    if (!writeByteRetried(id, param.baudRateAddress, flashValue,
                          QStringLiteral("Update[2]: change baudrate fail #1-1")))
        return failUpdate(QStringLiteral("Update[2]: change baudrate fail #1-2"), tr("QUORVEX Reboot Failed"));
    if (viaBoard && !writeByte(kBoardId, boardRegister, flashValue))
        return failUpdate(QStringLiteral("Update[2]: change baudrate fail #1-3"), tr("QUORVEX Reboot Failed"));
    if (hasMaster) {
        ushort model = 0;
        uchar firmware = 0;
        uchar error = 0;
        if (qvx_protocol->ping(master, &model, &firmware, &error) != COMM_OK)
            return failUpdate(QStringLiteral("Update[2]: change baudrate fail #1-4-2"), tr("Bootloader Reboot Failed"));
        if (param.masterBaudAddressB < 1 || param.masterBaudAddressA < 1)
            return failUpdate(QStringLiteral("Update[2]: change baudrate fail #1-4-3"), tr("Bootloader Reboot Failed"));
        if (sysWriteValue(master, static_cast<ushort>(param.masterBaudAddressB), 1, flashValue, &error) != COMM_OK
            || !writeByte(master, static_cast<ushort>(param.masterBaudAddressA), flashValue))
            return failUpdate(QStringLiteral("Update[2]: change baudrate fail #1-4-4"), tr("QUORVEX Reboot Failed"));
    }

    // Phase 2: at 57600, through the bootloader.
    if (!restartAndFlash(param, image, way))
        return false;
    pauseOnLine(kStepPauseMs);
    if (!torqueOff(*this, param))
        return failUpdate(torqueFail, tr("QUORVEX Torque Off Failed"));
    const uchar baudValue = kRegisterByBaudRate2.value(param.baudrate, 0);
    if (!writeByteRetried(id, param.baudRateAddress, baudValue, QStringLiteral("Update[2]: change baudrate fail #2-1")))
        return failUpdate(QStringLiteral("Update[2]: change baudrate fail #2-2"), tr("Bootloader Restart Failed"));
    if (viaBoard && !writeByte(kBoardId, boardRegister, baudValue))
        return failUpdate(QStringLiteral("Update[2]: change baudrate fail #2-3"), tr("QUORVEX Restart Failed"));
    if (hasMaster) {
        uchar error = 0;
        if (sysWriteValue(master, static_cast<ushort>(param.masterBaudAddressB), 1, baudValue, &error) != COMM_OK)
            return failUpdate(QStringLiteral("Update[2]: change baudrate fail #2-5"), tr("QUORVEX Restart Failed"));
        if (!writeByte(master, static_cast<ushort>(param.masterBaudAddressA), baudValue))
            return failUpdate(QStringLiteral("Update[2]: change baudrate fail #1-4-4"), tr("QUORVEX Reboot Failed"));
    }

    // Phase 3: at the servo's own rate again.
    if (!reopenPingReset(param, way))
        return false;
    pauseOnLine(kStepPauseMs);
    if (!torqueOff(*this, param))
        return failUpdate(torqueFail, tr("QUORVEX Torque Off Failed"));
    const QString restoreFirst = QStringLiteral("Update[2]: restore protocol version fail #1");
    const QString restoreSecond = QStringLiteral("Update[2]: restore protocol version fail #2");
    if (param.protocolVersion == kProtocolVersion1) {
        if (param.protocolTypeAddress != 0) {
            if (!writeByteRetried(id, param.protocolTypeAddress, kProtocolType1, restoreFirst))
                return failUpdate(restoreSecond, tr("Bootloader Restart Failed"));
        }
        setProtocolVersion(kProtocolVersion1);
    } else if (param.protocolVersion == kModbusText) {
        if (param.modbusProtocolTypeAddress != 0
            && !writeByteRetried(id, param.modbusProtocolTypeAddress, kProtocolTypeModbus, restoreFirst))
            return failUpdate(restoreSecond, tr("Bootloader Restart Failed"));
    } else if (hasProtocolType) {
        writeByte(id, protocolTypeAddress, savedProtocolType); // its outcome does not end the update
    }
    if (hasMaster) {
        uchar error = 0;
        sysWriteValue(id, param.masterIdAddress, 1, master, &error); // nor does this one's
    }
    return succeedUpdate();
}
