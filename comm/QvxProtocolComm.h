#pragma once
// The transport that speaks servo protocols 1.0 and 2.0: it owns one packet
// engine per protocol version, keeps one current, relays the engines' signals
// and hands every bus operation to the current engine. It owns no link: the
// serial and TCP transports below it open and close their link, give the
// engines their I/O device and do the polling reads.

#include "comm/QvxComm.h"
#include "comm/QvxProtocol1.h"
#include "comm/QvxProtocol2.h"

#include <optional>

class QvxProtocolComm : public QvxComm
{
    Q_OBJECT

public:
    // Size of rx_buffer: the largest packet the protocol 2.0 engine accepts.
    static constexpr int kRxBufferSize = 61440;
    // The hand-preset block: 88 bytes, room for at most 20 joint slots.
    static constexpr int kHandPresetBlockSize = 88;
    static constexpr int kHandPresetMaxSlots = 20;

    explicit QvxProtocolComm(QObject *parent = nullptr);
    ~QvxProtocolComm() override;

    int ping(uchar id, ushort *model_number, uchar *firmware_version, uchar *error) override;
    int broadcastPing(int wait_ms) override;
    int shufflePing(int wait_ms) override;
    int shuffleId(uchar id, QByteArray data, int wait_ms, int count) override;
    QString version() const override;
    // Exactly "1.0" or "2.0" selects that engine; other texts change nothing.
    void setProtocolVersion(QString version) override;
    void setTimeout(int ms) override;
    // The token goes to the transport and to both engines.
    void setCancellationToken(CancellationToken *token) override;
    void awaitOwedAnswers() override;
    void clearCancellationToken() override;
    int read1Byte(uchar id, ushort address, int *value, uchar *error) override;
    int read2Byte(uchar id, ushort address, int *value, uchar *error) override;
    int read4Byte(uchar id, ushort address, int *value, uchar *error) override;
    int write1Byte(uchar id, ushort address, int value, uchar *error) override;
    int write2Byte(uchar id, ushort address, int value, uchar *error) override;
    int write4Byte(uchar id, ushort address, int value, uchar *error) override;
    int bulkWrite(QByteArray params) override;
    int syncWriteDirect(ushort address, ushort length, QByteArray params) override;
    // A failed read, a reply without its status byte and an option without
    // steps all count as a motion still running.
    bool isMotionInProgress(qvx::MotionAgingOption &option) override;
    // Always ID 200; the signal's error is always 0.
    int dumpReadData(uchar type, ushort index, ushort size) override;
    // The polling reads: the transport's link check, the poll statistics, the
    // read into rx_buffer and its completion signal. A length beyond rx_buffer
    // is refused with COMM_UNSUPPORTED, and a link the check cannot make
    // usable ends the poll with the check's result; neither emits a signal.
    // The update read starts at address 0; the multi-graph read takes the
    // list startMultiGraph prepared (`params` is not consulted).
    int readUpdate(uchar id, ushort length) override;
    int readGraph(uchar id, ushort address, ushort length) override;
    int readMultiGraph(qvx::MultiGraphReadParams params) override;

    // The hex trace of both engines. Callers switch it on for one operation
    // and off right after it, with a Trace.
    void setVerbose(bool verbose);
    // The trace on (when asked) for the life of the object, off after it.
    class Trace
    {
    public:
        Trace(QvxProtocolComm &transport, bool on)
            : transport_(transport)
        {
            transport_.setVerbose(on);
        }
        ~Trace() { transport_.setVerbose(false); }
        Trace(const Trace &) = delete;
        Trace &operator=(const Trace &) = delete;

    private:
        QvxProtocolComm &transport_;
    };
    int readTxRx(uchar id, ushort address, ushort length, uchar *data, uchar *error);
    int writeTxRx(uchar id, ushort address, ushort length, const uchar *data, uchar *error);
    // Size 1, 2 or 4; any other size gives COMM_UNSUPPORTED without traffic.
    int sysWriteValue(uchar id, ushort address, short size, int value, uchar *error);
    int sysWrite1Byte(uchar id, ushort address, uchar value, uchar *error);
    int sysWrite2Byte(uchar id, ushort address, ushort value, uchar *error);
    int sysWrite4Byte(uchar id, ushort address, uint value, uchar *error);
    int readValue(uchar id, ushort address, short size, int *value, uchar *error);

    // True while a firmware procedure drives the serial port itself.
    bool port_held = false;
    // Receive buffer of the polling reads (zeroed at construction).
    uchar rx_buffer[kRxBufferSize] = {};
    QvxProtocol *qvx_protocol = nullptr; // the current engine
    QvxProtocol1 *qvx_protocol1 = nullptr;
    QvxProtocol2 *qvx_protocol2 = nullptr;
    // The multi-graph request list, in ascending ID order.
    QList<QvxProtocol::BulkReadParam> bulk_read_params;

    // A protocol 2.0 status with an error number comes without data; protocol
    // 1.0 error bits are alarms beside the data.
    bool isRefusedRead(uchar error) const override;

public slots:
    int write1ByteTxRx(uchar id, ushort address, uchar data, QString protocol_version = QString()) override;
    int write2ByteTxRx(uchar id, ushort address, ushort data, QString protocol_version = QString()) override;
    int write4ByteTxRx(uchar id, ushort address, uint data, QString protocol_version = QString()) override;
    int read1ByteTxRx(uchar id, ushort address, QString protocol_version = QString()) override;
    int read2ByteTxRx(uchar id, ushort address, QString protocol_version = QString()) override;
    int read4ByteTxRx(uchar id, ushort address, QString protocol_version = QString()) override;
    int sysWrite1ByteTxRx(uchar id, ushort address, uchar data, QString protocol_version = QString()) override;
    int sysWrite2ByteTxRx(uchar id, ushort address, ushort data, QString protocol_version = QString()) override;
    int sysWrite4ByteTxRx(uchar id, ushort address, uint data, QString protocol_version = QString()) override;
    int syncWrite(ushort address, ushort data_length, QByteArray param,
                  QString protocol_version = QString()) override;
    int reset(uchar id, ushort address = 0) override;
    // The forms with `error` clear it (the device's error byte arrives only in
    // the completion signal), trace the command when `verbose` is set and
    // leave the trace off.
    int reset(uchar id, quint8 &error, bool verbose = false);
    int reboot(uchar id, ushort address = 0) override;
    int reboot(uchar id, quint8 &error, bool verbose = false);
    int clear(uchar id, uchar param, ushort address = 0) override;
    int clear(uchar id, uchar param, quint8 &error, bool verbose = false);
    int multiturnClear(uchar id, uchar param, ushort address = 0) override;
    int multiturnClear(uchar id, uchar param, quint8 &error);
    int auxBackup(uchar id, ushort address = 0) override;
    int auxRestore(uchar id, ushort address = 0) override;
    void startMultiGraph(qvx::MultiGraphReadParams params, int interval, bool fast = false) override;
    // More than 20 joint slots do not fit the block: refused with
    // COMM_UNSUPPORTED, no traffic, no signal. A negative count counts as 0.
    int readHandPresetData(uchar id, ushort address, int joint_slot_count) override;
    // The block is cut to 88 bytes; a negative count counts as 0.
    int writeHandPresetData(uchar id, ushort address, qvx::HandPresetData data, int joint_slot_count) override;

protected:
    // Whether anyone receives outputPacket decides whether the engines make packet items.
    void connectNotify(const QMetaMethod &signal) override;
    void disconnectNotify(const QMetaMethod &signal) override;
    // The connect step once the transport has tried to open its link: not
    // `opened`, or no answer from servo `id` to a ping and to one more after
    // `retryPauseMs`, closes the link again and gives false; otherwise the
    // state becomes Connected.
    bool connectStep(bool opened, uchar id, int retryPauseMs);
    // Makes the link usable for a poll: COMM_OK, or the result the poll ends with.
    virtual int checkPollLink() = 0;
    // Whether the multi-graph poll reads with FAST_BULK_READ.
    virtual bool fastMultiGraphPoll() const = 0;

private:
    // The length and link checks and the statistics of a poll; nothing when
    // the read may go ahead, else the result it ends with.
    std::optional<int> beginPoll(int length);
    // Runs `operation` on the engine of `protocol_version` (the current one
    // when empty) and switches back afterwards.
    template <class Operation>
    int onProtocol(const QString &protocol_version, Operation operation);
    template <class T>
    int signalledWrite(int (QvxProtocol::*write)(uchar, ushort, ushort, const uchar *, uchar *),
                       void (QvxComm::*completed)(int, uchar, ushort, T, uchar), uchar id, ushort address, T data,
                       const QString &protocol_version);
    template <class T>
    int signalledRead(void (QvxComm::*completed)(int, uchar, ushort, T, uchar), uchar id, ushort address,
                      const QString &protocol_version);
    int readWidth(uchar id, ushort address, ushort width, int *value, uchar *error);
    int writeWidth(int (QvxProtocol::*write)(uchar, ushort, ushort, const uchar *, uchar *), uchar id,
                   ushort address, ushort width, quint32 value, uchar *error);
    // Clears `error`, then runs `command` with the trace as `verbose` when
    // `traced`, leaving the trace off.
    template <class Command>
    int errorForm(quint8 &error, bool traced, bool verbose, Command command);
    // Tells the engines whether outputPacket has receivers here.
    void notePacketReceivers(const QMetaMethod &signal);
};
