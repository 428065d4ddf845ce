#pragma once
// The abstract transport: one link to the servo bus (a serial port, a TCP
// connection or a Modbus client). It holds what every link shares: the
// connection settings, the connection state, the busy flag, the lent
// cancellation token, the poll statistics and the state of the polling and
// aging engines. The bus operations are virtual; the concrete transports
// implement them. The connect and disconnect wrappers, the settings by key, the
// dump read and the error-history read are built here on those operations
// alone, so they work on every transport.
//
// Members are public: the device operations, the firmware procedures and the
// reading engines reach them directly, as the engines' own members are.

#include "comm/CancellationToken.h"
#include "comm/EngineClock.h"
#include "comm/QvxCommRecords.h"
#include "comm/QvxProtocol.h"
#include "comm/QvxRecords.h"

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <atomic>
#include <functional>
#include <optional>

class QTimer;

class QvxComm : public QObject, public QvxCommRecords
{
    Q_OBJECT

public:
    enum State { Disconnected = 0, Connected = 1 };
    Q_ENUM(State)

    // The error line of a reader not started for its interval.
    static QString intervalRefusal(const QString &reader, qint64 interval);

    // Which dump regions dumpRead reads: flag i asks for region type i.
    struct DumpType
    {
        bool region0 = false;
        bool region1 = false;
        bool region2 = false;
        bool region3 = false;
        bool region4 = false;
    };

    // Settings keys of connectionSetting and setConnectionSetting.
    enum SettingKey {
        KeyPortName = 0,
        KeyBaudRate = 1,
        KeyDataBits = 2,
        KeyParity = 3,
        KeyStopBits = 4,
        KeyFlowControl = 5,
        KeyNetworkPort = 6,
        KeyNetworkAddress = 7,
    };

    explicit QvxComm(QObject *parent = nullptr);
    ~QvxComm() override;

    // --- bus operations (result codes of comm/CommResult.h) -----------------
    virtual int ping(uchar id, ushort *model_number, uchar *firmware_version, uchar *error) = 0;
    // Every answer is announced by qvxFound; the normal end is COMM_RX_TIMEOUT.
    virtual int broadcastPing(int wait_ms) = 0;
    virtual int shufflePing(int wait_ms) = 0;
    virtual int shuffleId(uchar id, QByteArray data, int wait_ms, int count) = 0;
    virtual bool isOpen() const = 0;
    virtual bool setBaudRate(int baudrate) = 0;
    // "1.0", "2.0" or "MODBUS".
    virtual QString version() const = 0;
    virtual void setProtocolVersion(QString version) = 0;
    // Extra latency in ms added to every packet time-out.
    virtual void setTimeout(int ms) = 0;
    // Remembers the running command's token (not owned) until cleared.
    virtual void setCancellationToken(CancellationToken *token);
    virtual void clearCancellationToken();
    // Synchronous item transfers, no signal. *value is written only on COMM_OK.
    virtual int read1Byte(uchar id, ushort address, int *value, uchar *error) = 0;
    virtual int read2Byte(uchar id, ushort address, int *value, uchar *error) = 0;
    virtual int read4Byte(uchar id, ushort address, int *value, uchar *error) = 0;
    virtual int write1Byte(uchar id, ushort address, int value, uchar *error) = 0;
    virtual int write2Byte(uchar id, ushort address, int value, uchar *error) = 0;
    virtual int write4Byte(uchar id, ushort address, int value, uchar *error) = 0;
    // The transport's own connect step behind connectQvx: open with the stored
    // settings and check that servo `id` answers.
    virtual bool doConnectQvx(uchar id) = 0;
    virtual void doDisconnectQvx() = 0;
    // One poll of the update, graph and multi-graph readers.
    virtual int readUpdate(uchar id, ushort length) = 0;
    virtual int readGraph(uchar id, ushort address, ushort length) = 0;
    virtual int readMultiGraph(qvx::MultiGraphReadParams params) = 0;
    virtual int bulkWrite(QByteArray params) = 0;
    // SYNC_WRITE through the current engine, without a protocol switch.
    virtual int syncWriteDirect(ushort address, ushort length, QByteArray params) = 0;
    // Whether the servos of the option's first step are still moving.
    virtual bool isMotionInProgress(qvx::MotionAgingOption &option) = 0;
    // Reads `size` bytes at `index` of dump region `type` of ID 200.
    virtual int dumpReadData(uchar type, ushort index, ushort size) = 0;

    // --- functions of the abstract transport itself ------------------------
    // Stores the state and emits stateChanged, only when it changes.
    void setState(QvxComm::State s);
    // Key 0 portName, 1 baudRate, 2 dataBits, 3 parity, 4 stopBits,
    // 5 flowControl, 6 networkPort, 7 networkAddress; other keys give int 0.
    QVariant connectionSetting(int key) const;
    // Stores under the same keys (other keys store nothing); always true.
    bool setConnectionSetting(int key, const QVariant &value);
    bool isModbusConnection() const;
    // Chunked read of one dump region (100 bytes a chunk, then the remainder,
    // also when that is 0); false at the first chunk that fails.
    bool readDumpRegion(int type, int size);
    // Records one poll read in the poll statistics.
    void measureUpdatePeriod();
    // Records one applied aging entry in the aging statistics.
    void measureAgingPeriod();
    // The engines' time source; null puts the wall clock back. Not owned.
    void setEngineClock(EngineClock *clock);
    // One cycle of multi-aging steps starting from `waypoint`, which ends as
    // the last step of the cycle. The profile must have passed
    // multiAgingProfileRefusal.
    static QList<MultiAgingStep> expandMultiAgingSteps(MultiAgingStep &waypoint, const MultiAgingParams &params,
                                                       const qvx::MultiAgingOption &option);
    // Why the multi-aging engine cannot run this profile, or empty when it
    // can: a list the expansion indexes holds fewer than idCount entries, an
    // interval the expansion divides by is 0 (or -1 under the lowest int),
    // a step's time of the first cycle leaves the int range, or one cycle
    // would hold more than kMaxMultiAgingSteps steps or kMaxMultiAgingValues
    // values. Counted without expanding anything.
    static QString multiAgingProfileRefusal(const MultiAgingParams &params, const qvx::MultiAgingOption &option);
    // The largest cycle the multi-aging engine expands: steps, and values
    // (steps times servos). It keeps two cycles, some 80 bytes a step and 12
    // a value each, so at most about 40 MB.
    static constexpr qint64 kMaxMultiAgingSteps = 100'000;
    static constexpr qint64 kMaxMultiAgingValues = 1'000'000;
    // The bytes of one multi-aging step: the servos whose value differs from
    // `last` (all of them without `last`); ID and value in sync mode, ID,
    // address, length and value otherwise.
    static QByteArray multiAgingBlock(const QList<MultiAgingItem> &items,
                                      const std::optional<QList<MultiAgingItem>> &last, bool sync);
    // Writes one motion step with SYNC_WRITE at the addresses of motionOption,
    // then pauses 10 ms.
    void sendMotionData(const qvx::MotionStep &step);

    // --- members ----------------------------------------------------------
    int connectionType = 0; // 0 serial, 1 TCP client, 2 Modbus RTU, 3 Modbus TCP
    QString portName;
    int baudRate = 0;    // bits per second, stored by open
    int dataBits = 8;    // QSerialPort::DataBits
    int parity = 0;      // QSerialPort::Parity
    int stopBits = 1;    // QSerialPort::StopBits
    int flowControl = 0; // QSerialPort::FlowControl
    ushort networkPort = 0;
    QString networkAddress;
    uchar targetId = 0; // servo of the update and graph readers and of plain aging
    qint64 lastPollTick = 0; // ms since the epoch; 0: no poll yet
    double meanPollPeriod = 0;
    QList<qint64> pollGaps; // the last gaps between polls, at most kGapWindow
    State state = Disconnected;
    bool busy = false; // a dump or error-history read runs; polling ticks wait
    // 0: servos reached directly; otherwise the model number of the controller
    // board at ID 200 that relays the bus at boardBaud.
    int boardModel = 0;
    int boardBaud = 57600;
    qint64 lastTimerTick = 0;
    int extraLatency = 0; // ms
    bool lateTick = false;
    CancellationToken *token = nullptr; // lent around a command by a front end; not owned
    // The device operations point this at their cancel flag around a broadcast
    // ping; the transport itself never reads it.
    std::atomic<bool> *cancelFlagPointer = nullptr;
    QTimer *updateTimer = nullptr;
    QTimer *graphTimer = nullptr;
    ushort graphAddress = 0;
    ushort pollLength = 0; // bytes of the update read and of the graph read
    QTimer *multiGraphTimer = nullptr;
    qvx::MultiGraphReadParams multiGraphParams;
    bool multiGraphFast = false;
    int agingMode = 0; // 0 idle, 1 aging, 2 multi-aging, 3 motion aging
    qint64 lastAgingTick = 0;
    double meanAgingPeriod = 0;
    // Every open starts the poll and aging period statistics afresh.
    void resetPeriodStatistics()
    {
        lastPollTick = 0;
        meanPollPeriod = 0;
        lastAgingTick = 0;
        meanAgingPeriod = 0;
    }
    QList<qint64> agingGaps;
    ushort agingAddress = 0;
    ushort agingLength = 0;
    int repeat = 0; // cycles of the running aging engine; 0 endless
    AgingDatas agingList;
    AgingDatas agingRepeatList;
    QTimer *agingTimer = nullptr;
    qint64 clock = 0;
    int stepCounter = 0;
    qint64 lastClockTick = 0;
    int lastWrittenValue = 0;
    QList<MultiAgingStep> multiAgingSteps;
    QList<MultiAgingStep> multiAgingRepeatSteps;
    QTimer *multiAgingTimer = nullptr;
    // Why the last startMultiAging did not start the engine; empty when it did.
    QString multiAgingRefusal;
    bool syncMode = false;
    ushort syncAddress = 0;
    ushort syncLength = 0;
    // Items of the step multi-aging wrote last (a copy), for change detection.
    std::optional<QList<MultiAgingItem>> lastSentItems;
    int motionPhase = 0; // 0 wait for the motion to end, 1 dwell, 2 send the next step
    qvx::MotionAgingOption motionOption;
    QTimer *motionAgingTimer = nullptr;
    EngineClock *engineClock = EngineClock::system(); // not owned

    // Before the line is let go for others (the user's close, the end of a
    // run): reads it until no answer a device still owes can come, so that
    // none reaches the next program on the line (comm/ExchangeLine.h). At most
    // the late span; at once when nothing is owed.
    virtual void awaitOwedAnswers() {}
    // Whether a read that came back with the error byte `error` was refused by
    // the device, so that it carried no data.
    virtual bool isRefusedRead(uchar /*error*/) const { return false; }
    // Gaps kept by the poll and aging statistics.
    static constexpr qsizetype kGapWindow = 100;
    // The controller board and the dump source answer on this ID.
    static constexpr uchar kBoardId = 200;

public slots:
    // doConnectQvx; a failure while connected turns the state to Disconnected.
    bool connectQvx(uchar id);
    // Ends a running aging engine, then doDisconnectQvx.
    void disconnectQvx();
    virtual bool open(QString port_name, int baudrate) = 0;
    virtual void close() = 0;
    // Transfers with a completion signal; a non-empty protocol_version selects
    // the engine for this call only.
    virtual int write1ByteTxRx(uchar id, ushort address, uchar data, QString protocol_version = QString()) = 0;
    virtual int write2ByteTxRx(uchar id, ushort address, ushort data, QString protocol_version = QString()) = 0;
    virtual int write4ByteTxRx(uchar id, ushort address, uint data, QString protocol_version = QString()) = 0;
    virtual int read1ByteTxRx(uchar id, ushort address, QString protocol_version = QString()) = 0;
    virtual int read2ByteTxRx(uchar id, ushort address, QString protocol_version = QString()) = 0;
    virtual int read4ByteTxRx(uchar id, ushort address, QString protocol_version = QString()) = 0;
    virtual int sysWrite1ByteTxRx(uchar id, ushort address, uchar data, QString protocol_version = QString()) = 0;
    virtual int sysWrite2ByteTxRx(uchar id, ushort address, ushort data, QString protocol_version = QString()) = 0;
    virtual int sysWrite4ByteTxRx(uchar id, ushort address, uint data, QString protocol_version = QString()) = 0;
    // `address` serves the Modbus transport only (its command register).
    virtual int reset(uchar id, ushort address = 0) = 0;
    virtual int reboot(uchar id, ushort address = 0) = 0;
    virtual int clear(uchar id, uchar param, ushort address = 0) = 0;
    virtual int multiturnClear(uchar id, uchar param, ushort address = 0) = 0;
    virtual int syncWrite(ushort address, ushort data_length, QByteArray param,
                          QString protocol_version = QString()) = 0;
    virtual int auxBackup(uchar id, ushort address = 0) = 0;
    virtual int auxRestore(uchar id, ushort address = 0) = 0;
    // The update and graph readers. Their timers keep time only on a thread
    // whose event loop runs. An interval that is not above 0 ms is refused,
    // with a logMessage, and changes nothing.
    void startGraph(uchar id, ushort address, ushort length, int interval);
    void stopGraph();
    void startUpdate(uchar id, ushort length, int interval);
    void stopUpdate();
    void setUpdateInterval(int interval);
    void getErrorHistory(uchar id, ushort count_address, ushort index_address, ushort data_address);
    void onGraphTimer();
    void onUpdateTimer();
    virtual void startMultiGraph(qvx::MultiGraphReadParams params, int interval, bool fast = false) = 0;
    void stopMultiGraph();
    void onMultiGraphTimer();
    // The aging engines; at most one runs (agingMode). A start whose inputs
    // the engine cannot run (an empty or short list, a zero interval, fewer
    // values than servos, a profile too large to expand) does not start and
    // emits the engine's stop signal; multi-aging also says why in
    // multiAgingRefusal.
    void startAging(uchar id, ushort address, ushort length, int repeat, QvxComm::AgingDatas list,
                    QvxComm::AgingDatas repeat_list);
    void stopAging();
    void onAgingTimer();
    void startMultiAging(QvxComm::MultiAgingParams params, qvx::MultiAgingOption option);
    void stopMultiAging();
    void onMultiAgingTimer();
    void startMotionAging(qvx::MotionAgingOption option);
    void stopMotionAging();
    void onMotionAgingTimer();
    void dumpRead(QvxComm::DumpType type);
    virtual int readHandPresetData(uchar id, ushort address, int joint_slot_count) = 0;
    virtual int writeHandPresetData(uchar id, ushort address, qvx::HandPresetData data, int joint_slot_count) = 0;

signals:
    void logMessage(QString msg);
    void openFailed(QString port_name, int baudrate);
    void openSucceed(QString port_name, int baudrate);
    void closed();
    void stateChanged(QvxComm::State state);
    void qvxFound(uchar id, ushort model_number, uchar firmware_version);
    void shufflePingStatus(uchar id, uchar org_id, ushort model_number, uchar firmware_version);
    void shuffleIdStatus(uchar id, uchar org_id, ushort model_number, uchar firmware_version);
    void read1ByteCompleted(int result, uchar id, ushort address, uchar data, uchar error);
    void read2ByteCompleted(int result, uchar id, ushort address, ushort data, uchar error);
    void read4ByteCompleted(int result, uchar id, ushort address, uint data, uchar error);
    void write1ByteCompleted(int result, uchar id, ushort address, uchar data, uchar error);
    void write2ByteCompleted(int result, uchar id, ushort address, ushort data, uchar error);
    void write4ByteCompleted(int result, uchar id, ushort address, uint data, uchar error);
    void sysWrite1ByteCompleted(int result, uchar id, ushort address, uchar data, uchar error);
    void sysWrite2ByteCompleted(int result, uchar id, ushort address, ushort data, uchar error);
    void sysWrite4ByteCompleted(int result, uchar id, ushort address, uint data, uchar error);
    void resetCompleted(int result, uchar id, uchar error);
    void rebootCompleted(int result, uchar id, uchar error);
    void clearCompleted(int result, uchar id, uchar error);
    void multiturnClearCompleted(int result, uchar id, uchar error);
    void updateRxStatus(bool status);
    void updateTxStatus(bool status);
    void outputPacket(QvxProtocol::PacketItem packet_item);
    void updateCompleted(int result, uchar id, ushort length, QByteArray data, uchar error, qlonglong tick);
    void graphReadCompleted(int result, uchar id, ushort address, ushort length, QByteArray data, uchar error,
                            qlonglong tick);
    void getErrorHistoryCompleted(int result, QStringList error_list);
    void restoreWriteCompleted(int result, uchar error); // declared; nothing emits it
    void auxBackupCompleted(int result, uchar id, uchar error);
    void auxRestoreCompleted(int result, uchar id, uchar error);
    void multiGraphReadCompleted(int result, qvx::MultiGraphReadResults results, qlonglong tick);
    void agingCompleted();
    void agingStopped();
    void multiAgingCompleted();
    void multiAgingStopped(int error = 0);
    void motionAgingStopped(int error = 0);
    void dumpReadCompleted(int dump_size);
    void dumpReadDataCompleted(int result, uchar error, int type, QByteArray data);
    void readHandPresetDataCompleted(int result, uchar id, ushort address, qvx::HandPresetData data, uchar error);
    void writeHandPresetDataCompleted(int result, uchar id, ushort address, uchar error);

protected:
    // Appends now - *lastTick to gaps (keeping the last kGapWindow), updates the
    // mean, and moves *lastTick to now. Shared by the poll and aging statistics.
    void recordGap(qint64 *lastTick, QList<qint64> *gaps, double *mean) const;
    // The end of a connect step: servo `id` answers a ping (with error byte 0
    // as well when `errorByteCounts`), or a second one after `pauseMs`. Sets
    // the state to Connected; a second failure closes the link.
    bool confirmByPing(uchar id, int pauseMs, bool errorByteCounts);
    // Runs a link check whose reopen begins with a close (which stops the
    // update and graph timers); the timers that ran before run on after it.
    int keepReadersRunning(const std::function<int()> &check);
    // The tick rule of the reading timers for a tick of `timer`.
    bool pollTick(const QTimer *timer, double factor);
    // Whether `reader`'s start is refused for its interval (with the message).
    bool refusesInterval(const QString &reader, int interval);
    // Stops the aging engine of `mode` (1 plain, 2 multi, 3 motion) and its
    // `timer` when it is the one running; false when it is not.
    bool endAging(int mode, QTimer *timer);
    // Starts a reader's `timer` at `interval` ms with the tick rule's state
    // afresh: no poll and no tick seen yet, none late.
    void startPollTimer(QTimer *timer, int interval);
    // What a profile tick passed, applied by the aging and multi-aging engines.
    void applyAgingPoint(const AgingData &point, bool endedCycle);
    void applyMultiAgingStep(const MultiAgingStep &step);
    // Ends the multi-aging start that cannot run, for `reason`: back to idle
    // with multiAgingStopped(0).
    void refuseMultiAging(const QString &reason);
};

Q_DECLARE_METATYPE(QvxComm::DumpType)
