// The self-diagnosis steps: preparation, LED, calibration move, position and
// velocity tests, and finishing.
#include "diagnosis/QvxSelfDiagnosis.h"

#include "comm/CommResult.h"
#include "comm/DeviceCompletion.h"
#include "comm/ItemWidth.h"
#include "comm/StatusError.h"
#include "comm/QvxModbus.h"
#include "device/DeviceConstants.h"
#include "device/ProtocolConstants.h"
#include "device/QvxDeviceModel.h"

#include <QThread>
#include <QTimer>

#include <cmath>
#include <functional>
#include <memory>
#include <optional>

namespace {

const QString kModbusKind = QStringLiteral("QuorvexM");
const QString kModbusProtocol = QStringLiteral("MODBUS");
constexpr int kMinimumCycleMs = 20;   // position sampling never runs faster
constexpr int kMoveWindowMs = 3000;   // a move must arrive within this
constexpr int kSettleWindowMs = 1000;
constexpr int kPositionRounds = 5;
constexpr int kTorqueOffMs = 2000;    // the servo comes to rest after torque off
constexpr int kVelocityTestMs = 23000; // the planned length of the velocity test
constexpr int kLedBlinkMs = 500;
constexpr int kCenterMoveMs = 1000;
constexpr float kBandShare = 0.1f;    // the pass band is a tenth of the expected velocity
constexpr double kDegreesPerUnit = 0.29296875;
// Models whose wheel mode is judged by counting sweeps of the position.
constexpr quint16 kSweepCountedModels[] = {12, 18, 300, 350};
// Wheel drive values: full speed forward and backward (sign and magnitude).
constexpr int kWheelForward = 1023;
constexpr int kWheelBackward = 2047;

int wholeNumber(const QString &text)
{
    bool ok = false;
    const int v = text.toInt(&ok);
    return ok ? v : 0;
}

} // namespace

QvxSelfDiagnosis::QvxSelfDiagnosis(QObject *parent)
    : QvxPort(parent != nullptr)
    , ledTimer(new QTimer(this))
    , modbus(new QvxModbus(this))
{
    connect(ledTimer, &QTimer::timeout, this, &QvxSelfDiagnosis::onLedTimer);
    clock.start();
}

QvxSelfDiagnosis::~QvxSelfDiagnosis() = default;

void QvxSelfDiagnosis::setDevice(DeviceRecord *r, QvxDeviceModel *m, const QString &n)
{
    record = r;
    model = m;
    note = n;
}

// --- items ---------------------------------------------------------------------------------

const QvxControlItem *QvxSelfDiagnosis::item(const QString &name) const
{
    return model ? model->itemsByName.value(name) : nullptr;
}

bool QvxSelfDiagnosis::hasItem(const QString &name) const
{
    return item(name) != nullptr;
}

bool QvxSelfDiagnosis::onModbus() const
{
    return record && record->deviceKind == kModbusKind;
}

int QvxSelfDiagnosis::readItem(const QvxControlItem *it, int *value)
{
    if (!it || !record)
        return -1;
    QvxComm *link = onModbus() ? static_cast<QvxComm *>(modbus) : this;
    uchar error = 0;
    const int result = readByWidth(*link, static_cast<uchar>(record->id), it->address, it->length, value, &error);
    return result == COMM_OK && link->isRefusedRead(error) ? -1 : result;
}

// A write the servo refuses (an error number, or a Modbus exception handed on
// in the error byte) is a failed write.
int QvxSelfDiagnosis::writeItem(const QvxControlItem *it, int value)
{
    if (!it || !record)
        return -1;
    QvxComm *link = onModbus() ? static_cast<QvxComm *>(modbus) : this;
    uchar error = 0;
    const int result = writeByWidth(*link, static_cast<uchar>(record->id), it->address, it->length, value, &error);
    const bool refused = onModbus() ? modbus->isRefusedRead(error) : hasStatusError(error, version());
    return result == COMM_OK && refused ? -1 : result;
}

int QvxSelfDiagnosis::writeItem(const QString &name, int value)
{
    return writeItem(item(name), value);
}

int QvxSelfDiagnosis::initOf(const QString &name, const QString &fallback) const
{
    if (const QvxControlItem *it = item(name))
        return it->init;
    if (const QvxControlItem *it = item(fallback))
        return it->init;
    return 0;
}

// --- time ----------------------------------------------------------------------------------

qint64 QvxSelfDiagnosis::nowMs() const
{
    return static_cast<qint64>(double(clock.nsecsElapsed()) * timeScale / 1e6);
}

void QvxSelfDiagnosis::sleepMs(qint64 ms)
{
    if (ms > 0)
        QThread::usleep(static_cast<unsigned long>(double(ms) * 1000.0 / timeScale));
}

int QvxSelfDiagnosis::scaledInterval(int ms) const
{
    return qMax(1, static_cast<int>(ms / timeScale));
}

// --- preparation and finish -------------------------------------------------------------------

bool QvxSelfDiagnosis::prepareTest()
{
    // A second run writes a file of its own, not one appended to the first.
    dumpData.clear();
    sampleLog.clear();
    bool ok = false;
    if (model && record) {
        if (onModbus())
            ok = prepareModbus();
        else
            ok = (record->protocolVersion != kModbusProtocol || switchFromModbus()) && prepareSerial();
    }
    if (ok)
        emit prepare_succeed();
    else
        emit prepare_failed();
    return ok;
}

bool QvxSelfDiagnosis::readModbusBlock(int address, int lengthInBytes)
{
    modbus->rxBuffer.clear();
    // Whole registers: an odd address or an odd count takes the register that
    // holds the byte, whose other byte is dropped afterwards.
    const int skip = address & 1;
    uchar error = 0;
    if (modbus->readRegisterRange(static_cast<uchar>(record->id), static_cast<ushort>(address >> 1),
                                  (skip + lengthInBytes + 1) / 2, &error) != COMM_OK
        || error != 0)
        return false;
    // A short answer is not padded out: the block counts as not read.
    if (modbus->rxBuffer.size() < skip + lengthInBytes)
        return false;
    modbus->rxBuffer.remove(0, skip);
    modbus->rxBuffer.truncate(lengthInBytes);
    return true;
}

bool QvxSelfDiagnosis::prepareModbus()
{
    if (!modbus->open(record->portName, record->baudRate))
        return false;
    if (!readModbusBlock(model->dumpAddress, model->dumpLength))
        return false;
    dumpData.append(modbus->rxBuffer);
    modbus->reset(static_cast<uchar>(record->id), model->modbusResetRegister);
    sleepMs(kTorqueOffMs); // the servo restarts after the reset
    return true; // the Modbus link stays open for the tests
}

bool QvxSelfDiagnosis::switchFromModbus()
{
    // A servo that speaks Modbus now is moved to protocol 2.0 and tested on
    // the serial port; finishTest moves it back.
    auto link = std::make_unique<QvxModbus>(this);
    if (!link->open(record->portName, record->baudRate)) {
        link->close();
        return false;
    }
    const int result = link->write1ByteTxRx(static_cast<uchar>(record->id), record->protocolTypeAddress, 2);
    link->close();
    if (result != COMM_OK)
        return false;
    switchedFromModbus = true;
    record->protocolVersion = kProtocolVersion2;
    return true;
}

bool QvxSelfDiagnosis::prepareSerial()
{
    if (!open(record->portName, record->baudRate))
        return false;
    setProtocolVersion(record->protocolVersion);
    const auto id = static_cast<uchar>(record->id);
    if (const QvxControlItem *type = item(QStringLiteral("Protocol Type"))) {
        int value = 0;
        uchar error = 0;
        if (read1Byte(id, type->address, &value, &error) == COMM_OK && value == 1) {
            write1ByteTxRx(id, type->address, 2);
            setProtocolVersion(kProtocolVersion2);
            record->protocolVersion = kProtocolVersion2;
        }
    }

    if (model->dumpLength > kRxBufferSize)
        return false;
    uchar error = 0;
    // A refused read carries no table: nothing to keep, and no reset after it.
    if (readAndNotify(id, model->dumpAddress, model->dumpLength, rx_buffer, &error) != COMM_OK
        || isRefusedRead(error))
        return false;
    dumpData.append(reinterpret_cast<const char *>(rx_buffer), model->dumpLength);

    const QvxControlItem *baudItem = item(QStringLiteral("Baud Rate (Bus)"));
    const auto defaultValue = static_cast<quint8>(baudItem ? baudItem->init & 0xFF : 0);
    if (defaultValue == 0)
        return false;
    int baud = 0;
    if (record->protocolVersion == kProtocolVersion1)
        baud = kBaudRateByRegister1.value(defaultValue, 0);
    else if (record->protocolVersion == kProtocolVersion2)
        baud = kBaudRateByRegister2.value(defaultValue, 0);
    else
        return false;

    reset(id); // factory reset
    if (record->protocolVersion == kProtocolVersion1) {
        // A protocol 1.0 factory reset also brings back ID 1 and the default rate.
        if (!open(record->portName, baud))
            return false;
        record->id = 1;
        record->baudRate = baud;
    }
    return true;
}

void QvxSelfDiagnosis::finishTest(bool is_reset)
{
    finishing = true;
    if (!model || !record) {
        emit finish_failed();
        return;
    }
    if (onModbus()) {
        finishModbus(is_reset);
        return;
    }
    if (!isOpen() && !open(record->portName, record->baudRate)) {
        emit finish_failed();
        return;
    }
    stopLedTest();
    const auto id = static_cast<uchar>(record->id);
    // A servo that takes neither the reset nor the torque off is not restored.
    int failure = COMM_OK;
    if (is_reset) {
        uchar error = 0;
        failure = withDeviceError(*this, &QvxComm::resetCompleted, &error, [&] { return reset(id); });
        if (failure == COMM_OK && hasStatusError(error, version()))
            failure = -1; // refused
    }
    if (hasItem(QStringLiteral("Torque Enable"))) {
        if (const int result = writeItem(QStringLiteral("Torque Enable"), 0); failure == COMM_OK)
            failure = result;
        sleepMs(kTorqueOffMs);
    }
    if (switchedFromModbus)
        write1ByteTxRx(id, record->protocolTypeAddress, 10); // back to Modbus
    close();
    finished(failure);
}

void QvxSelfDiagnosis::finished(int failure)
{
    if (failure == COMM_OK) {
        emit finish_succeed();
        return;
    }
    emit logMessage(QStringLiteral("Finish failed: ID %1 did not take the reset or the torque off (result %2)")
                        .arg(record->id)
                        .arg(failure));
    emit finish_failed();
}

void QvxSelfDiagnosis::finishModbus(bool is_reset)
{
    if (!modbus->isOpen() && !modbus->open(record->portName, record->baudRate)) {
        modbus->close();
        emit finish_failed();
        return;
    }
    stopLedTest();
    const auto id = static_cast<uchar>(record->id);
    int failure = COMM_OK;
    if (is_reset && model->modbusResetRegister != 0) { // a model without the register is not reset
        uchar error = 0;
        failure = withDeviceError(*modbus, &QvxComm::resetCompleted, &error,
                                  [&] { return modbus->reset(id, model->modbusResetRegister); });
        if (failure == COMM_OK && modbus->isRefusedRead(error))
            failure = -1; // an exception answer
        sleepMs(kTorqueOffMs);
    }
    if (hasItem(QStringLiteral("Torque Enable"))) {
        if (const int result = writeItem(QStringLiteral("Torque Enable"), 0); failure == COMM_OK)
            failure = result;
        sleepMs(kTorqueOffMs);
    }
    modbus->close();
    finished(failure);
}

// --- LED and calibration move -----------------------------------------------------------------

void QvxSelfDiagnosis::startLedTest()
{
    ledState = true;
    ledTimer->start(scaledInterval(kLedBlinkMs));
}

void QvxSelfDiagnosis::stopLedTest()
{
    ledState = false;
    ledTimer->stop();
    writeItem(QStringLiteral("LED"), 0);
    writeItem(QStringLiteral("LED Red"), 0);
}

void QvxSelfDiagnosis::onLedTimer()
{
    if (!model)
        return;
    writeItem(QStringLiteral("LED"), ledState ? 1 : 0);
    if (hasItem(QStringLiteral("LED Red")))
        writeItem(QStringLiteral("LED Red"), ledState ? 255 : 0);
    ledState = !ledState;
}

void QvxSelfDiagnosis::startCalibrationTest()
{
    if (!model)
        return;
    int lower = 0;
    if (!model->itemsByName.isEmpty()) {
        writeItem(QStringLiteral("Torque Enable"), 1);
        lower = initOf(QStringLiteral("Min Position Limit"), QStringLiteral("CW Angle Limit"));
        writeItem(QStringLiteral("Goal Position"), lower);
    }
    QTimer::singleShot(scaledInterval(kCenterMoveMs), Qt::PreciseTimer, this, [this, lower] { moveToCenter(lower); });
}

void QvxSelfDiagnosis::moveToCenter(int lower)
{
    const int upper = initOf(QStringLiteral("Max Position Limit"), QStringLiteral("CCW Angle Limit"));
    writeItem(QStringLiteral("Goal Position"), static_cast<int>((qint64(lower) + upper) / 2));
}

// --- sampling ---------------------------------------------------------------------------------

void QvxSelfDiagnosis::sampleLogBlock()
{
    if (!model || !record)
        return;
    if (onModbus()) {
        if (readModbusBlock(model->logAddress, model->logLength))
            sampleLog.append(modbus->rxBuffer);
        return;
    }
    if (model->logLength > kRxBufferSize)
        return;
    uchar error = 0;
    if (readAndNotify(static_cast<uchar>(record->id), model->logAddress, model->logLength, rx_buffer, &error) ==
            COMM_OK
        && !isRefusedRead(error))
        sampleLog.append(reinterpret_cast<const char *>(rx_buffer), model->logLength);
}

bool QvxSelfDiagnosis::settle(int ms)
{
    return positionCycles(ms, 0, false);
}

bool QvxSelfDiagnosis::moveAndWait(int ms, int goal)
{
    return positionCycles(ms, goal, true);
}

bool QvxSelfDiagnosis::positionCycles(int ms, int goal, bool toGoal)
{
    const QvxControlItem *present = item(QStringLiteral("Present Position"));
    const int threshold = model->positionThreshold;
    qint64 remaining = ms;
    std::optional<qint64> distance; // none until a read of this window succeeds
    int failure = COMM_OK;          // the last failed read
    for (;;) {
        if (stopRequested)
            return false;
        const qint64 start = nowMs();
        int value = 0;
        const int result = readItem(present, &value);
        if (result == COMM_OK) {
            emit positionData(value);
            distance = std::abs(qint64(goal) - value);
        } else {
            failure = result;
        }
        sampleLogBlock();
        qint64 counted = nowMs() - start;
        if (counted < kMinimumCycleMs) {
            sleepMs(kMinimumCycleMs - counted);
            counted = kMinimumCycleMs;
        }
        // The last cycle reports only what was left of the window, so that the
        // reports of every window add up to its length.
        emit positionProgress(static_cast<int>(qMin(counted, remaining)));
        remaining -= counted;
        if (remaining < 0) {
            if (!distance)
                return servoLost(Test::Position, ms, failure);
            if (toGoal)
                positionOk = false; // the move did not arrive in time
            return true;
        }
        if (toGoal && distance && *distance <= threshold) {
            emit positionProgress(static_cast<int>(remaining)); // the rest of the window
            return true;
        }
    }
}

bool QvxSelfDiagnosis::servoLost(Test test, int windowMs, int failure)
{
    if (test == Test::Position) {
        positionOk = false;
    } else {
        velocityMinOk = false;
        velocityMaxOk = false;
    }
    const QString why = failure == -1 ? QStringLiteral("the read was refused")
                                      : QStringLiteral("the last read ended with result %1").arg(failure);
    emit logMessage(QStringLiteral("%1 test failed: no reading from ID %2 in a window of %3 ms; %4")
                        .arg(test == Test::Position ? QStringLiteral("Position") : QStringLiteral("Velocity"))
                        .arg(record ? record->id : 0)
                        .arg(windowMs)
                        .arg(why));
    return false;
}

double QvxSelfDiagnosis::velocityBand(double expected)
{
    double band = double(kBandShare) * expected;
    if (band > 50)
        band = expected > 1000 ? 100 : 50;
    return band;
}

double QvxSelfDiagnosis::wheelBand(double expected)
{
    return qMin(50.0, double(kBandShare) * expected);
}

double QvxSelfDiagnosis::velocitySample(const QvxControlItem *it, int raw)
{
    qint64 value = it->name == QStringLiteral("Present Speed") ? qint64(static_cast<qint16>(raw)) : qint64(raw);
    if (it->direction != 0 && value >= it->direction)
        value -= it->direction;
    bool ok = false;
    const double scale = it->scale.toDouble(&ok);
    return std::abs(double(value) * (ok ? scale : 0.0));
}

void QvxSelfDiagnosis::wheelThresholds(const QvxDeviceModel *m, int *low, int *high)
{
    const QvxControlItem *limit = m ? m->itemsByName.value(QStringLiteral("Min Position Limit")) : nullptr;
    if (!limit && m)
        limit = m->itemsByName.value(QStringLiteral("CW Angle Limit"));
    if (!limit) {
        *low = 102;
        *high = 922;
        return;
    }
    const int min = wholeNumber(limit->min);
    const int max = wholeNumber(limit->max);
    const int step = (max - min) / 10;
    *low = min + step;
    *high = max - step;
}

std::optional<double> QvxSelfDiagnosis::sweepRpm(int delta, qint64 durationMs)
{
    // A sweep seen without movement or within one clock reading tells no
    // speed: it is left out rather than divided by zero.
    if (delta <= 0 || durationMs <= 0)
        return std::nullopt;
    return 60000.0 / ((360.0 / (delta * kDegreesPerUnit)) * double(durationMs));
}

void QvxSelfDiagnosis::judgeVelocity(double expected, double band)
{
    velocityMinOk = expected - band <= velocityResult;
    velocityMaxOk = velocityResult <= expected + band;
}

bool QvxSelfDiagnosis::velocityWindow(int ms, const QvxControlItem *it,
                                      const std::function<void(std::optional<int> value, qint64 now)> &cycle)
{
    // Cycle times are taken between readings of one clock, so that cycles
    // shorter than a millisecond still count.
    const qint64 begin = nowMs();
    qint64 last = begin;
    bool read = false; // a read of this window succeeded
    int failure = COMM_OK;
    while (last - begin <= ms) {
        if (stopRequested)
            return false;
        int value = 0;
        const int result = readItem(it, &value);
        if (result == COMM_OK)
            read = true;
        else
            failure = result;
        cycle(result == COMM_OK ? std::optional<int>(value) : std::nullopt, nowMs());
        sampleLogBlock();
        const qint64 end = nowMs();
        emit velocityProgress(static_cast<int>(end - last));
        last = end;
    }
    return read || servoLost(Test::Velocity, ms, failure);
}

bool QvxSelfDiagnosis::measureVelocity(int ms, bool accumulate)
{
    const double expected = model->velocityRpm;
    const QvxControlItem *speed = item(QStringLiteral("Present Speed"));
    if (!speed)
        speed = item(QStringLiteral("Present Velocity"));
    const bool going = velocityWindow(ms, speed, [&](std::optional<int> raw, qint64) {
        if (!raw)
            return;
        const double sample = velocitySample(speed, *raw);
        emit velocityData(sample);
        if (accumulate) {
            ++velocityCount;
            velocitySum += sample;
        }
    });
    if (!going)
        return false;
    if (velocityCount > 0) {
        velocityResult = velocitySum / velocityCount;
        judgeVelocity(expected, velocityBand(expected));
    } else {
        // No sample, no velocity: the result is 0 and passes neither side.
        velocityResult = 0;
        velocityMinOk = false;
        velocityMaxOk = false;
    }
    return true;
}

bool QvxSelfDiagnosis::measureWheelRpm(int ms, bool forward)
{
    const double expected = model->velocityRpm;
    int low = 0;
    int high = 0;
    wheelThresholds(model, &low, &high);
    std::optional<int> startPos;
    std::optional<int> endPos;
    qint64 startTime = 0;
    qint64 duration = 0;
    int position = 0; // a failed read keeps the last one
    const bool going =
        velocityWindow(ms, item(QStringLiteral("Present Position")), [&](std::optional<int> value, qint64 now) {
            if (value)
                position = static_cast<qint16>(*value & 0xFFFF);
            const bool beforeSweep = forward ? position < low : position > high;
            const bool pastSweep = forward ? position > high : position < low;
            if (beforeSweep) {
                startPos = position;
                startTime = now;
            } else if (startPos && !endPos && pastSweep) {
                endPos = position;
                duration = now - startTime;
            }
            if (startPos && endPos) {
                const int delta = forward ? *endPos - *startPos : *startPos - *endPos;
                const std::optional<double> rpm = sweepRpm(delta, duration);
                if (rpm && *rpm < 2.0 * high) {
                    emit velocityData(*rpm);
                    ++velocityCount;
                    velocitySum += *rpm;
                }
                startPos.reset();
                endPos.reset();
            }
        });
    if (!going)
        return false;
    // Accepted sweeps of the two 10-second runs, taken as revolutions a minute.
    velocityResult = 3.0 * velocityCount;
    judgeVelocity(expected, wheelBand(expected));
    return true;
}

// --- position and velocity tests --------------------------------------------------------------

void QvxSelfDiagnosis::positionTest(int center, int cw, int ccw)
{
    stopLedTest();
    if (!model)
        return;
    if (!hasItem(QStringLiteral("Torque Enable")) || !hasItem(QStringLiteral("Goal Position"))) {
        emit positionEnd(positionOk);
        return;
    }
    const auto moveTo = [this](int goal) {
        writeItem(QStringLiteral("Goal Position"), goal);
        emit positionGoal(goal);
        return moveAndWait(kMoveWindowMs, goal) && settle(kSettleWindowMs);
    };
    emit positionProgress(0);
    writeItem(QStringLiteral("Torque Enable"), 1);
    bool going = settle(kSettleWindowMs);
    for (int round = 0; going && round < kPositionRounds; ++round)
        going = moveTo(cw) && moveTo(ccw);
    if (going && moveTo(center))
        emit positionProgress(kPositionTestMs);
    emit positionEnd(positionOk);
}

void QvxSelfDiagnosis::applyOperatingMode(const QString &name)
{
    for (const QvxDeviceMode &mode : std::as_const(model->modes)) {
        if (mode.name != name)
            continue;
        for (const QString &part : mode.set.split(QLatin1Char(','))) {
            const QStringList pieces = part.split(QLatin1Char('='));
            if (pieces.size() != 2)
                continue;
            const int address = QString(pieces.at(0)).remove(QStringLiteral("addr")).toInt();
            writeItem(model->itemsByAddress.value(address), pieces.at(1).toInt());
        }
        return;
    }
}

bool QvxSelfDiagnosis::driveSequence(const QString &mode)
{
    // One step: write the drive value (when there is one), then measure.
    struct Step
    {
        std::optional<int> drive;
        int ms;
        bool accumulate; // for the sweep count: the direction, true forward
    };
    const QvxControlItem *driveItem = nullptr;
    QList<Step> steps;
    bool sweeps = false;
    if (mode == QStringLiteral("PWM") || mode == QStringLiteral("Velocity")) {
        const bool pwm = mode == QStringLiteral("PWM");
        const QvxControlItem *limit = item(pwm ? QStringLiteral("PWM Limit") : QStringLiteral("Velocity Limit"));
        driveItem = item(pwm ? QStringLiteral("Goal PWM") : QStringLiteral("Goal Velocity"));
        if (!limit) {
            // Without its limit the drive is not known: the test fails.
            velocityMinOk = false;
            velocityMaxOk = false;
            return true;
        }
        const int drive = pwm ? wholeNumber(limit->max) : limit->init;
        steps = {{0, 1000, false},     {drive, 1000, false}, {std::nullopt, 10000, true}, {0, 1000, false},
                 {-drive, 1000, false}, {std::nullopt, 10000, true}, {0, 1000, false}};
    } else if (mode == QStringLiteral("Wheel")) {
        driveItem = item(QStringLiteral("Moving Speed"));
        sweeps = std::find(std::begin(kSweepCountedModels), std::end(kSweepCountedModels), model->modelNumber) !=
                 std::end(kSweepCountedModels);
        // For the sweep count the flag is the direction; else whether to accumulate.
        steps = {{0, 1000, false},
                 {kWheelForward, 10000, true},
                 {0, 1000, false},
                 {kWheelBackward, 10000, !sweeps},
                 {0, 1000, false}};
    }
    for (const Step &step : std::as_const(steps)) {
        if (step.drive)
            writeItem(driveItem, *step.drive);
        const bool going = sweeps ? measureWheelRpm(step.ms, step.accumulate) : measureVelocity(step.ms, step.accumulate);
        if (!going) {
            if (mode == QStringLiteral("Wheel"))
                writeItem(QStringLiteral("Torque Enable"), 0);
            return false;
        }
    }
    return true;
}

void QvxSelfDiagnosis::velocityTest()
{
    stopLedTest();
    if (!model || model->itemsByName.isEmpty() || !hasItem(QStringLiteral("Torque Enable"))) {
        emit velocityEnd(velocityMinOk, velocityMaxOk);
        return;
    }
    emit velocityProgress(0);
    velocitySum = 0;
    velocityCount = 0;
    velocityResult = 0;
    QString mode;
    for (const QString &name : {QStringLiteral("PWM"), QStringLiteral("Wheel"), QStringLiteral("Velocity")}) {
        const auto has = [&](const QvxDeviceMode &m) { return m.name == name; };
        if (std::any_of(model->modes.cbegin(), model->modes.cend(), has)) {
            mode = name;
            break;
        }
    }
    writeItem(QStringLiteral("Torque Enable"), 0);
    sleepMs(kTorqueOffMs);
    applyOperatingMode(mode);
    writeItem(QStringLiteral("Torque Enable"), 1);
    if (driveSequence(mode)) {
        writeItem(QStringLiteral("Torque Enable"), 0);
        sleepMs(kTorqueOffMs);
        emit velocityProgress(kVelocityTestMs);
    }
    emit velocityEnd(velocityMinOk, velocityMaxOk);
}
