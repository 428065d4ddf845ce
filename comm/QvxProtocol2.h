#pragma once
// Packet engine of servo protocol 2.0: header FF FF FD 00, 16-bit length,
// byte stuffing and CRC-16. Single-device instructions, the broadcast ping,
// sync and bulk transfers, and the stream parser for bytes that arrive outside
// a transaction.

#include "comm/QvxProtocol.h"

#include <functional>

class QvxProtocol2 : public QvxProtocol
{
    Q_OBJECT

public:
    enum Instruction : uchar {
        Ping = 0x01,
        Read = 0x02,
        Write = 0x03,
        RegWrite = 0x04,
        Action = 0x05,
        FactoryReset = 0x06,
        Reboot = 0x08,
        SystemWrite = 0x0D,
        Clear = 0x10,
        Aux = 0x20,
        Status = 0x55,
        SyncRead = 0x82,
        SyncWrite = 0x83,
        BulkRead = 0x92,
        BulkWrite = 0x93,
        FastBulkRead = 0x9A,
        Shuffle = 0xC4,
    };
    static constexpr uchar kBroadcastId = 0xFE;
    // Largest packet sent: bytes after stuffing, before the CRC.
    static constexpr int kMaxSendSize = 4096;
    // Largest packet received, in bytes (LEN + 7).
    static constexpr int kMaxReceiveSize = 61440;

    explicit QvxProtocol2(QObject *parent = nullptr);

    QString version() const override;
    int ping(uchar id, ushort *model_number, uchar *firmware_version, uchar *error) override;
    int readTxRx(uchar id, ushort address, ushort length, uchar *data, uchar *error) override;
    int writeTxRx(uchar id, ushort address, ushort length, const uchar *data, uchar *error) override;
    int regWriteTxRx(uchar id, ushort address, ushort length, const uchar *data) override;
    int action(uchar id) override;
    int factoryReset(uchar id) override;
    int reboot(uchar id) override;
    int digitalReset(uchar id) override;
    int clear(uchar id, uchar param) override;
    int multiturnClear(uchar id, uchar param) override;
    int sysWriteTxRx(uchar id, ushort address, ushort length, const uchar *data, uchar *error) override;
    void onReadyRead() override;
    int broadcastPing(int wait_ms) override;
    int bulkRead(const QList<BulkReadParam> &params, QList<BulkReadResult> *results) override;
    int bulkWrite(const QByteArray &param) override;
    int syncRead() override;
    int syncWrite(ushort address, ushort data_length, const QByteArray &param) override;
    int shufflePing(int wait_ms) override;
    int shuffleId(uchar id, QByteArray data, int wait_ms, int count) override;
    int fastSyncRead() override;
    int fastBulkRead(const QList<BulkReadParam> &params, QList<BulkReadResult> *results) override;
    int auxBackup(uchar id) override;
    int auxRestore(uchar id) override;
    int dumpReadData(uchar id, ushort address, ushort length, uchar type, QByteArray *out) override;

    // Unscrambles `length` identification bytes of a shuffle answer with the
    // keystream that `seed` starts.
    static void descramble(uchar seed, const uchar *input, uchar *output, int length);

    // Byte stuffing: from offset 7 on, FF FF FD is followed by an extra FD, and
    // LEN counts the extra bytes. Both work in place and fix LEN.
    static void addStuffing(QByteArray &packet);
    // Expects a packet with its two CRC bytes, which are never unstuffed.
    static void removeStuffing(QByteArray &packet);
    // CRC-16 (polynomial 0x8005, initial value as given, MSB first, no final
    // XOR) over the first `size` bytes of data, continuing from `crc`.
    static ushort updateCrc(ushort crc, const QByteArray &data, ushort size);

    // Send step: stuffs the packet (built without CRC), checks its size, appends
    // the CRC and writes it; on return the packet holds the bytes as sent.
    int txPacket(QByteArray &packet);
    // Receive step: one valid status packet; stuffing removed unless keepStuffing.
    int rxPacket(QByteArray *packet, bool keepStuffing);
    // Reply step for the packet just sent: starts the packet clock for its
    // instruction and waits for the addressed device's reply.
    int receiveReply(const QByteArray &sent, QByteArray *reply, uchar *error, bool keepStuffing);
    int txRxPacket(QByteArray &packet, QByteArray *reply, uchar *error, bool keepStuffing);

    // What a packet (before stuffing) awaits: whose answer (its ID, or
    // ExchangeLine::kAnyDevice / kNoAnswer) and of which size (0: of several).
    struct Awaited
    {
        int address;
        qsizetype size;
    };
    static Awaited awaitedAnswer(const QByteArray &packet);
    // An instruction packet before stuffing and CRC.
    static QByteArray instructionPacket(uchar id, uchar instruction, const QByteArray &params = QByteArray());

    // Bootloader packets: the packet bootloader speaks this protocol with
    // FF FF FD 0A as its header. Every operation below sends one packet and
    // waits for the bootloader's status (also on the broadcast ID). The error
    // byte is written only on COMM_OK, each reply value only when the reply
    // carries it.
    enum BootInstruction : uchar {
        BootReset = 0x06,
        BootF1 = 0xF1,
        BootTransfer = 0xF7,
        BootRestart = 0xF8,
        BootFA = 0xFA,
        // A standard-header instruction of the same family.
        InstructionF9 = 0xF9,
    };
    static constexpr uchar kBootHeaderMark = 0x0A;
    int bootCommand06(uchar id, uchar *error);
    int bootCommandF8(uchar id, uchar *error);
    int bootCommandF8(uchar id, quint32 value, uchar *error);
    int bootCommandF1(uchar id, uchar *value, uchar *error);
    int bootCommandFA(uchar id, quint32 a, quint16 b, quint16 *value, uchar *error);
    int bootCommandFA(uchar id, quint32 a, quint32 b, quint16 c, quint16 *value, uchar *error);
    // Transfer start (mode, image size): the reply carries an index and a total.
    int bootReadF7(uchar id, uchar mode, quint32 size, quint16 *index, quint32 *total, uchar *error);
    int bootReadF7(uchar id, uchar mode, quint32 a, quint32 b, quint16 *index, quint32 *total, uchar *error);
    // One block: mode, block index, then `length` data bytes as they are.
    int bootWriteF7(uchar id, uchar mode, quint16 index, quint16 length, const uchar *data, quint16 *replyIndex,
                    quint32 *total, uchar *error);
    // Sends a packet built by the caller (before stuffing and CRC) and takes the
    // whole reply, stuffing removed.
    int txRxBootPacket(QByteArray &packet, QByteArray *reply, uchar *error);
    // The receive half of every bootloader operation: one bootloader status
    // within the packet clock, stuffing removed. A status shorter than its fixed
    // part is dropped like a bad header.
    int rxBootPacket(QByteArray *reply);
    // Standard header FF FF FD 00, instruction 0xF9, no parameters.
    int commandF9(uchar id, uchar *error);
    // A bootloader-header packet before stuffing and CRC.
    static QByteArray bootPacket(uchar id, uchar instruction, const QByteArray &params = QByteArray());

protected:
    const Framing &framing() const override;

private:
    // A status without data; a PING's status, with model number and firmware version.
    static constexpr qsizetype kSmallestStatus = 11;
    static constexpr qsizetype kPingReply = 14;
    // A status without data whose error number is set (the alert bit alone is none).
    static bool isRefusal(const QByteArray &reply);

    // The reply step. With acceptRefusal, a READ reply of the addressed device
    // that is shorter than asked and carries an error number ends the wait: the
    // device refused, and waiting on would only turn its answer into a time-out.
    int receiveMatchingReply(const QByteArray &sent, QByteArray *reply, uchar *error, bool keepStuffing,
                             bool acceptRefusal);
    // Sends the packet, awaits the reply and emits `completed` with the result,
    // the ID and the error byte (0 unless a reply was matched).
    int signalledCommand(QByteArray packet, uchar id, Completion completed);
    int writeInstruction(uchar instruction, uchar id, ushort address, ushort length, const uchar *data,
                         uchar *error);
    static QByteArray bulkParameterBlock(const QList<BulkReadParam> &params);
    // Listens for wait_ms for the status packets of any devices and hands each
    // that passes its CRC to `take`, stuffing still in; `take` returns true to
    // end the wait with COMM_OK. Otherwise the wait ends with COMM_RX_TIMEOUT
    // (or COMM_CANCELLED).
    int listenForAnswers(int wait_ms, const std::function<bool(QByteArray &)> &take);
    // One answer to the shuffle instruction, identification unscrambled.
    struct ShuffleAnswer
    {
        uchar deviceId = 0; // the ID the answer came from
        uchar idValue = 0;  // the ID value inside the scrambled bytes
        ushort modelNumber = 0;
        uchar firmware = 0;
        uchar error = 0; // error number (bits 0 to 6 of the error byte)
    };
    // False for a packet that is not a shuffle answer (any size but 16 bytes).
    static bool readShuffleAnswer(QByteArray packet, ShuffleAnswer *out);

    // The bootloader's replies: their header, size test and trace.
    static const Framing &bootFraming();
    // One bootloader operation whose reply values start at offset 9.
    int bootTransaction(uchar id, uchar instruction, const QByteArray &params, QByteArray *reply, uchar *error);
    // A bootloader operation whose reply carries the 16-bit index and the
    // 32-bit total, each taken when the reply holds it.
    int indexedBootTransaction(uchar id, uchar instruction, const QByteArray &params, quint16 *index,
                               quint32 *total, uchar *error);

    static qsizetype streamPacketSize(const QByteArray &buffer, qsizetype p);
    static qsizetype replyPacketSize(const QByteArray &buffer);
    static qsizetype bootReplySize(const QByteArray &buffer);
    static bool crcMatches(const QByteArray &buffer, qsizetype p, qsizetype size);
};
