#pragma once
// The self-diagnosis of one servo: prepares the device (open, move to protocol
// 2.0, read its diagnosis dump block, factory reset), blinks its LED, moves it
// to its limits and back, drives it through position rounds and velocity runs
// while recording its diagnosis log block, judges the results against the
// model's diagnosis values, restores the device and writes a result file.
//
// A front end drives it one step per slot and follows it through its signals;
// every slot blocks until its step is done. Nothing in the program starts it:
// it is reached through the meta-object system.

#include "comm/QvxPort.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <functional>
#include <optional>

struct QvxControlItem;
struct QvxDeviceModel;
class QvxModbus;
class QTimer;

class QvxSelfDiagnosis : public QvxPort
{
    Q_OBJECT

public:
    // The device under test; owned by the caller.
    struct DeviceRecord
    {
        QString portName;
        QString protocolVersion; // "1.0", "2.0" or "MODBUS"; "2.0" once moved to protocol 2.0
        QString deviceKind;      // "QuorvexM" selects the Modbus transport
        int baudRate = 0;
        int id = 0; // used as the 8-bit device ID
        ushort protocolTypeAddress = 0;
        uchar firmwareVersion = 0;
    };

    // Length of the result file's header: signature and summary bytes.
    static constexpr int kResultHeaderSize = 21;
    // The planned length of the position test, in ms.
    static constexpr int kPositionTestMs = 45000;

    // Listens for unsolicited traffic exactly when `parent` is set.
    Q_INVOKABLE explicit QvxSelfDiagnosis(QObject *parent = nullptr);
    ~QvxSelfDiagnosis() override;

    void setDevice(DeviceRecord *record, QvxDeviceModel *model, const QString &note);

    // Item access, quiet about failures: -1 for a missing item, a width other
    // than 1, 2 or 4 or a read the device refused (it carries no value), else
    // the read's result code.
    int readItem(const QvxControlItem *item, int *value);
    // The write's result code; -1 for a missing item or another width.
    int writeItem(const QvxControlItem *item, int value);
    // Reads the registers that hold `lengthInBytes` table bytes from byte
    // `address` into the Modbus transport's receive buffer, through its block
    // read (QvxModbus::readRegisterRange); on true the buffer holds exactly
    // those bytes (an odd count included). False at the first request that
    // fails or is answered with an exception, or when fewer bytes arrived
    // than asked for.
    bool readModbusBlock(int address, int lengthInBytes);

    // Rules of the velocity judgement, apart for their tests.
    // The pass band around `expected` of a measured velocity.
    static double velocityBand(double expected);
    // The pass band of a wheel sweep count.
    static double wheelBand(double expected);
    // A velocity sample of `item` from its raw value (signed by the item's width).
    static double velocitySample(const QvxControlItem *item, int raw);
    // The two positions a wheel sweep passes, from the model's limit items.
    static void wheelThresholds(const QvxDeviceModel *model, int *low, int *high);
    // The speed of one wheel sweep over `delta` position units in `durationMs`;
    // nothing for a sweep without movement or duration.
    static std::optional<double> sweepRpm(int delta, qint64 durationMs);

    DeviceRecord *record = nullptr;
    QvxDeviceModel *model = nullptr;
    QString note;
    bool stopRequested = false;
    bool switchedFromModbus = false;
    QByteArray dumpData;
    QByteArray sampleLog;
    bool finishing = false;
    QTimer *ledTimer = nullptr;
    bool ledState = false;
    bool velocityMinOk = false;
    bool velocityMaxOk = false;
    bool positionOk = true;
    bool fixedResultA = true;
    bool fixedResultB = true;
    double velocitySum = 0;
    int velocityCount = 0;
    double velocityResult = 0;
    QvxModbus *modbus = nullptr; // the transport of Modbus servos

    // How many times faster than the wall clock the tests' time runs: waits,
    // sleeps and timers shrink by this factor. 1 on a real servo; tests speed
    // it up together with a simulated servo that keeps the same time.
    double timeScale = 1;

signals:
    void prepare_failed();
    void prepare_succeed();
    void finish_failed();
    void finish_succeed();
    void positionGoal(int goal);
    void positionData(int data);
    void velocityData(double data);
    void positionProgress(int progress);
    void velocityProgress(int progress);
    void positionEnd(bool result);
    void velocityEnd(bool min_result, bool max_result);

public slots:
    bool prepareTest();
    void finishTest(bool is_reset);
    void startLedTest();
    void stopLedTest();
    void startCalibrationTest();
    void positionTest(int center, int cw, int ccw);
    void velocityTest();
    // Replaces the file at `path` as a whole; false, with the reason on
    // logMessage, when it could not be written.
    bool saveResult(QString path);

private:
    const QvxControlItem *item(const QString &name) const;
    bool hasItem(const QString &name) const;
    int writeItem(const QString &name, int value);
    // The Init value of the first of the two items the model has, else 0.
    int initOf(const QString &name, const QString &fallback) const;

    // Test time: ms on the clock sped up by timeScale, and a sleep of test ms.
    qint64 nowMs() const;
    void sleepMs(qint64 ms);
    int scaledInterval(int ms) const;

    // One record of the log block appended to sampleLog, when the read succeeds.
    void sampleLogBlock();
    // Position sampling for `ms`; false when a stop was requested.
    bool settle(int ms);
    bool moveAndWait(int ms, int goal);
    // Sampling windows end with false when a stop is requested, or when no
    // read of the window succeeded: the servo is lost, and the test fails.
    bool positionCycles(int ms, int goal, bool toGoal);
    // Fails the position or velocity test for a servo that gave no reading in
    // a window of `windowMs`, the last read having ended with `failure`
    // (-1: refused), and says so on logMessage. Always false.
    enum class Test { Position, Velocity };
    bool servoLost(Test test, int windowMs, int failure);
    // One velocity sampling window of `ms`: reads `item` as fast as the reads
    // return and hands `cycle` each reading (none after a failed read) with
    // the time after it; samples the log block and reports each cycle's time
    // through velocityProgress. False when a stop was requested or the servo
    // was lost.
    bool velocityWindow(int ms, const QvxControlItem *item,
                        const std::function<void(std::optional<int> value, qint64 now)> &cycle);
    bool measureVelocity(int ms, bool accumulate);
    bool measureWheelRpm(int ms, bool forward);
    void judgeVelocity(double expected, double band);
    void applyOperatingMode(const QString &name);
    // The drive sequence of the velocity test; false when it stopped early.
    bool driveSequence(const QString &mode);
    void moveToCenter(int lower);
    void onLedTimer();
    // Whether the device under test is reached through `modbus`.
    bool onModbus() const;
    // The preparation steps: of a Modbus servo, of the move of a servo that
    // speaks Modbus to protocol 2.0, and on the serial port.
    bool prepareModbus();
    bool switchFromModbus();
    bool prepareSerial();
    void finishModbus(bool is_reset);
    // finish_succeed, or, when the servo did not take the finishing writes
    // (`failure`, their first failed result), finish_failed with the reason
    // on logMessage.
    void finished(int failure);

    QElapsedTimer clock;
};
