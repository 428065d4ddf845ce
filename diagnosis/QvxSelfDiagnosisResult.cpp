// The result file of a self-diagnosis: signature, summary bytes, the dump block
// read at preparation and every log block recorded during the tests.
#include "diagnosis/QvxSelfDiagnosis.h"

#include "comm/PacketBytes.h"
#include "device/QvxDeviceModel.h"

#include <QSaveFile>

bool QvxSelfDiagnosis::saveResult(QString path)
{
    QByteArray header = QByteArrayLiteral("VER001");
    header.reserve(kResultHeaderSize);
    packet::appendWord16(header, model ? model->modelNumber : 0);
    packet::appendByte(header, record ? record->firmwareVersion : 0);
    packet::appendWord16(header, model ? model->dumpAddress : 0);
    packet::appendWord16(header, model ? model->dumpLength : 0);
    packet::appendWord16(header, model ? model->logAddress : 0);
    packet::appendWord16(header, model ? model->logLength : 0);
    packet::appendByte(header, fixedResultA ? 1 : 0);
    packet::appendByte(header, fixedResultB ? 1 : 0);
    packet::appendByte(header, positionOk ? 1 : 0);
    packet::appendByte(header, velocityMinOk && velocityMaxOk ? 1 : 0);

    // The file is replaced only once it is written whole: a failure leaves the
    // earlier file as it was and is reported.
    QSaveFile file(path);
    const bool saved = file.open(QIODevice::WriteOnly) && file.write(header) == header.size() &&
                       file.write(dumpData) == dumpData.size() && file.write(sampleLog) == sampleLog.size() &&
                       file.commit();
    if (!saved)
        emit logMessage(QStringLiteral("Self-diagnosis result not saved: %1: %2").arg(path, file.errorString()));
    return saved;
}
