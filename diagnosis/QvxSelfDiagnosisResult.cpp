// The result file of a self-diagnosis: signature, summary bytes, the dump block
// read at preparation and every log block recorded during the tests.
#include "diagnosis/QvxSelfDiagnosis.h"

#include "comm/PacketBytes.h"
#include "device/QvxDeviceModel.h"
#include "platform/WriteWhole.h"

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
    // earlier file as it was and is reported. Unbuffered, so that a write the
    // system refuses fails in its own call, where its reason is still known.
    QSaveFile file(path);
    QString reason;
    const auto put = [&file, &reason](const QByteArray &bytes) { return platform::writeWhole(file, bytes, &reason); };
    bool saved = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    if (!saved)
        reason = file.errorString();
    else if (!(put(header) && put(dumpData) && put(sampleLog)))
        saved = false;
    else if (!(saved = file.commit()))
        reason = file.errorString();
    if (!saved)
        emit logMessage(QStringLiteral("Self-diagnosis result not saved: %1: %2").arg(path, reason));
    return saved;
}
