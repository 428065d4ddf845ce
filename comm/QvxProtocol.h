#pragma once
// Base of the packet engines (protocol 1.0 and 2.0). An engine turns one bus
// operation into instruction packets written to an I/O device and status packets
// read back from it, synchronously on the calling thread. The base holds what
// both engines share: the packet clock and its time-out formula, the hex
// trace, the engines' signals, and the receive loops and stream parser, which
// work on either packet framing. The link, its receive buffer, the
// cancellation token and the rules of which bytes may answer a request are
// those of every transport (ExchangeLine).

#include "comm/ExchangeLine.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>

class QIODevice;
class QTimer;

class QvxProtocol : public QObject, public ExchangeLine
{
    Q_OBJECT

public:
    // One packet that crossed the link, for tracing and replay.
    struct PacketItem
    {
        qint64 tick = 0;   // wall-clock ms since the epoch when the item was made
        int direction = 0; // 0 sent, 1 received
        QString protocol;  // "1.0" or "2.0" (or the serial transport's protocol text)
        QByteArray data;   // the bytes exactly as they crossed the link
        QString text;      // empty, or "RX Corrupt" for raw bytes flushed by onTimeout
        bool flag = false;
        int reserved1 = -1;
        int reserved2 = -1;
        int reserved3 = -1;
        int reserved4 = 0;
    };

    // One requested range of a bulk or fast bulk read.
    struct BulkReadParam
    {
        int id = 0;      // low byte goes into the packet
        int address = 0; // low 16 bits go into the packet
        int length = 0;  // low 16 bits go into the packet
    };

    // What one device returned for one range.
    struct BulkReadResult
    {
        int id = 0;
        int address = 0; // copied from the request
        int length = 0;  // copied from the request
        QByteArray data;
        int error = -1; // the device's status error byte; -1 until a reply was taken
    };

    explicit QvxProtocol(QObject *parent = nullptr);
    ~QvxProtocol() override;

    // The engine operations. Every int result is a result code (comm/CommResult.h);
    // out-parameters are written only on COMM_OK.
    virtual QString version() const = 0;
    virtual int ping(uchar id, ushort *model_number, uchar *firmware_version, uchar *error) = 0;
    virtual int readTxRx(uchar id, ushort address, ushort length, uchar *data, uchar *error) = 0;
    virtual int writeTxRx(uchar id, ushort address, ushort length, const uchar *data, uchar *error) = 0;
    virtual int regWriteTxRx(uchar id, ushort address, ushort length, const uchar *data) = 0;
    virtual int action(uchar id) = 0;
    virtual int factoryReset(uchar id) = 0;
    virtual int reboot(uchar id) = 0;
    virtual int digitalReset(uchar id) = 0;
    virtual int clear(uchar id, uchar param) = 0;
    virtual int multiturnClear(uchar id, uchar param) = 0;
    virtual int sysWriteTxRx(uchar id, ushort address, ushort length, const uchar *data, uchar *error) = 0;
    // Parses bytes that arrive while no transaction waits for them.
    virtual void onReadyRead() = 0;
    virtual int broadcastPing(int wait_ms) = 0;
    virtual int bulkRead(const QList<BulkReadParam> &params, QList<BulkReadResult> *results) = 0;
    virtual int bulkWrite(const QByteArray &param) = 0;
    virtual int syncRead() = 0;
    virtual int syncWrite(ushort address, ushort data_length, const QByteArray &param) = 0;
    virtual int shufflePing(int wait_ms) = 0;
    virtual int shuffleId(uchar id, QByteArray data, int wait_ms, int count) = 0;
    virtual int fastSyncRead() = 0;
    virtual int fastBulkRead(const QList<BulkReadParam> &params, QList<BulkReadResult> *results) = 0;
    virtual int auxBackup(uchar id) = 0;
    virtual int auxRestore(uchar id) = 0;
    virtual int dumpReadData(uchar id, ushort address, ushort length, uchar type, QByteArray *out) = 0;
    // Back to the idle receive state: buffers emptied, no transaction, packet
    // clock and stream parser reset.
    virtual void resetState();

    // Packet time-out in ms for a packet of `bytes` bytes at the current baud
    // rate: ten bit times per byte plus 34 ms plus the extra latency.
    int packetTimeoutFor(int bytes) const;
    void setPacketTimeout(int bytes);
    void setPacketTimeoutMs(int ms);
    // True once more than the packet time-out has passed since the clock started;
    // then true on every call until the clock is started again.
    bool isPacketTimeout();
    qint64 elapsedSincePacketStart();

    // With `verbose` on, writes one "[TX] " or "[RX] " line of hex bytes to
    // standard output.
    void trace(bool received, const QByteArray &bytes) const;

    // Staging buffer of onTimeout.
    QByteArray pendingBuffer;
    // True while a receive step collects replies; the transport then leaves
    // arriving bytes to the running loop instead of the stream parser.
    bool inTransaction = false;
    int baudRate = 57600;  // bits per second
    int extraLatency = 0;  // ms added to every packet time-out
    bool verbose = false;  // hex trace switch
    qint64 packetStartTime = 0; // wall-clock ms when the packet clock started
    double packetTimeout = 0;   // ms the packet clock may run; 0 after it ran out
    // The longest packet the running reply wait can take; 0: any the framing takes.
    qsizetype largestReply = 0;

    // Receivers of outputPacket that only pass it on (the transport's relay),
    // and whether anyone receives it behind them. Set by the transport; a
    // packet nobody receives is not made into an item at all.
    int packetRelays = 0;
    bool packetsHeardBehindRelays = false;

signals:
    void logMessage(QString msg);
    void resetCompleted(int result, uchar id, uchar error);
    void rebootCompleted(int result, uchar id, uchar error);
    void clearCompleted(int result, uchar id, uchar error);
    void multiturnClearCompleted(int result, uchar id, uchar error);
    void updateRxStatus(bool status);
    void updateTxStatus(bool status);
    void outputPacket(PacketItem packet_item);
    void qvxFound(uchar id, ushort model_number, uchar firmware_version);
    void shufflePingStatus(uchar id, uchar org_id, ushort model_number, uchar firmware_version);
    void shuffleIdStatus(uchar id, uchar org_id, ushort model_number, uchar firmware_version);
    void auxBackupCompleted(int result, uchar id, uchar error);
    void auxRestoreCompleted(int result, uchar id, uchar error);

public slots:
    // Flushes every unparsed byte as "RX Corrupt" items of at most 20 bytes.
    void onTimeout();

protected:
    void connectNotify(const QMetaMethod &signal) override;
    void disconnectNotify(const QMetaMethod &signal) override;
    // Whether an item for outputPacket reaches anyone.
    bool packetsHeard() const;

    // One of the completion signals (resetCompleted, rebootCompleted, ...).
    using Completion = void (QvxProtocol::*)(int result, uchar id, uchar error);

    // Verdicts of a framing's size tests besides a packet size.
    static constexpr qsizetype kPending = 0; // the fields that decide have not all arrived
    static constexpr qsizetype kReject = -1; // these bytes cannot start a packet

    // What the shared receive loops need to know of an engine's packet format.
    struct Framing
    {
        QByteArray header;
        int streamMinimum; // bytes the stream parser waits for before it judges the head
        int replyMinimum;  // bytes a reply wait wants before it judges the head
        // Size of the packet whose header is at p, as the stream parser judges it:
        // kPending, kReject or the whole size.
        qsizetype (*streamPacketSize)(const QByteArray &buffer, qsizetype p);
        // Size of the reply whose header is at the front (at least replyMinimum
        // bytes held), or kReject when a reply wait does not take it.
        qsizetype (*replyPacketSize)(const QByteArray &buffer);
        bool (*checksumMatches)(const QByteArray &buffer, qsizetype p, qsizetype size);
        QString checksumLog;    // logged when a reply fails its checksum
        QString checksumReason; // reason of a stream discard for a bad checksum
        bool logSizeOnTimeout;  // a reply time-out also logs the size of what was held
        bool traceStreamPackets;
        bool traceReplies = true;    // replies taken by a reply wait go to the hex trace
        bool testsToken = true;      // a reply wait ends early when the lent token is cancelled
    };
    virtual const Framing &framing() const = 0;

    // Common tail of both send steps, for a packet complete with its checksum
    // whose answer comes from `address` (ExchangeLine::kAnyDevice,
    // kNoAnswer) with `answerSize` bytes (0: of several sizes): its turn on
    // the line, then write, wait for the bytes to leave, emit and trace the item.
    int sendPacket(const QByteArray &packet, int address, qsizetype answerSize);
    // Receive step of a transaction: one status packet that passes the tests of
    // `f` (the engine's own framing, or another packet family such as the
    // bootloader's) into *packet. The caller has started the packet clock.
    int receivePacket(const Framing &f, QByteArray *packet);
    // Whether the status without data a command took, a success, may be the
    // late status of an earlier request of its device (whose own answer may
    // then be a refusal still on its way): logged, and not to be reported as
    // success.
    bool uncertainSuccess();

    // What arrived before a request: whole packets reach the stream parser's
    // listeners as stray traffic, a fragment is dropped so that it cannot
    // join the next reply.
    void handOverStray() override;
    void noteArrival(bool begins) override;
    void dropFront(qsizetype count);
    // One log line: the label and the bytes in hex, at most 256 of them.
    void logBytes(const QString &label, const QByteArray &bytes);
    static QString hexText(const QByteArray &bytes);
    PacketItem makeItem(int direction, const QByteArray &data, const QString &text = QString()) const;

    // Stream parser shared by both engines (the body of onReadyRead): what
    // the device has, then parseHeld.
    void parseArrivals();
    // Parses rxBuffer: each whole packet is announced, damage is logged and
    // dropped, an incomplete packet waits for the rest.
    void parseHeld();
    // Offset (> 0) of the first complete valid packet behind the head, or -1.
    // Keeps the possible packet starts between calls and searches only new bytes.
    int scanHeaders();
    void discardCorrupt(qsizetype count, const QString &reason);
    void onInterByteTimeout();
    void startInterByteTimer();
    void clearHeaderPositions();

    QTimer *interByteTimer = nullptr;
    QList<int> headerPositions;
    int packetReceivers_ = 0; // connections to outputPacket, the relays included
    int rescanFrom = 1;
};

Q_DECLARE_METATYPE(QvxProtocol::PacketItem)
