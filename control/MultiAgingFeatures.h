#pragma once
// Multi-aging, the multi-graph and the CSV graph log of the device
// operations, driving the transport's multi-aging and multi-graph engines.
// A multi-aging start also starts the other two: the multi-graph samples
// chosen items of several servos at a fixed interval, and the log writes, at
// its own interval, the latest sample with the minimum, maximum and average
// of every sample since the row before.
//
// The engines and the logging timer keep time only while the owner's thread
// runs its event loop.

#include "control/AgingConfig.h"
#include "control/Logging.h"

#include <QObject>
#include <QString>

#include <array>
#include <functional>
#include <optional>

class QTimer;
class QvxComm;
struct QvxControlItem;
struct QvxDeviceModel;

// One sampled item of a running multi-graph.
struct GraphSlot
{
    QvxControlItem *item = nullptr; // of the servo's description
    QString color;                  // empty for the tick slot
    int yAxis = 0;
    int id = 0; // servo ID
    QString modelName;
    ushort modelNumber = 0;
    uchar firmwareVersion = 0;
    QString itemName;
};

// One multi-graph read.
struct GraphSample
{
    qint64 time = 0; // ms since the first sample (or by the device's tick)
    // One per slot; the first 31 are used. None where the read brought no
    // value: the servo refused it, gave no reply or not the item's bytes.
    std::array<std::optional<int>, 32> values{};
};

class MultiAgingFeatures : public QObject
{
    Q_OBJECT

public:
    // The slots a multi-graph samples at most.
    static constexpr int kMaxSlots = 31;
    static inline const QString kRealtimeTick = QStringLiteral("Realtime Tick");

    // A device that answered a ping and has a description.
    struct Device
    {
        const QvxDeviceModel *model = nullptr;
        ushort modelNumber = 0;
        uchar firmwareVersion = 0;
    };
    // Pings a device and prints its line; nothing (after the error lines) when
    // it does not answer or has no description.
    using Identify = std::function<std::optional<Device>(uchar id)>;

    MultiAgingFeatures(QvxComm &transport, Identify identify, QObject *parent = nullptr);
    ~MultiAgingFeatures() override;

    // Builds the servos' parameters from the options, starts the transport's
    // multi-aging, then the multi-graph and, once that runs, the log. Each
    // start that does not happen says why in an error line, and what
    // depends on it does not start either.
    void startMultiAging();
    // Builds the slots and read ranges from the graph items and starts the
    // transport's multi-graph. False (with an error line) when it does not
    // run: an interval that is not above 0, protocol 1.0 (which has no bulk
    // read), a servo that does not answer, a transport without the reader.
    bool startMultiGraph();
    // Creates the CSV file in `folder`, writes its header and starts the
    // logging timer. False (with an error line) without slots, with an
    // interval that is not above 0, or when the file cannot be written.
    bool startLogging();
    void stopMultiAging();
    void stopMultiGraph();
    void stopLogging();
    void resetGraphStatistics();

    // The header lines of the CSV file for the slots now in use.
    QStringList csvHeader() const;
    // The file name (without folder) for a log started at `start`.
    QString logFileName(const QDateTime &start) const;
    // Whether slot i gets statistics columns (the device's tick does not).
    bool hasStatistics(int slot) const;

    AgingConfig config;
    QString folder; // where the log goes: "aging" under the working folder
    qvx::MultiGraphReadParams multiGraphParams;
    QList<GraphSlot> graphSlots;
    // Only the latest sample is kept; samplesStored counts them since the start.
    std::optional<GraphSample> latestSample;
    quint64 samplesStored = 0;
    bool useRealtimeTick = false;
    qint64 tickWrap = 0;
    qint64 lastTick = 0;
    qint64 elapsedTicks = 0;
    std::array<int, kMaxSlots> slotMinimum{};
    std::array<int, kMaxSlots> slotMaximum{};
    std::array<double, kMaxSlots> slotSum{};
    std::array<quint32, kMaxSlots> slotCount{}; // values of each slot since the last row
    quint32 sampleCount = 0; // samples since the last row
    Logging logging;
    QTimer *loggingTimer = nullptr;

public slots:
    // Stores one sample of a multi-graph read.
    void onMultiGraphReadCompleted(int result, qvx::MultiGraphReadResults results, qlonglong tick);
    // Writes one row: the latest sample and the statistics since the last
    // row. A row that cannot be written stops the log with an error line.
    void onLoggingTimer();

private:
    // Widens servo id's read range by the item.
    void widen(int id, const QvxControlItem &item);
    // A slot for the item; false when all slots are taken (with a warning).
    bool addSlot(const GraphSlot &slot);
    // The value of slot `slot` in a read's replies; none when the read
    // brought none.
    std::optional<int> slotValue(const GraphSlot &slot, const qvx::MultiGraphReadResults &results) const;
    // Writes one line of the log; a failure stops the log with an error line
    // that begins with `what`.
    bool writeLine(const QString &line, const QString &what);

    QvxComm &transport_;
    Identify identify_;
};
