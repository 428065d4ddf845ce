#pragma once
// Packet engine of servo protocol 1.0: header FF FF, one-byte ID, length,
// address and data length, inverted-sum checksum. No broadcast ping, sync or
// bulk transfers, clear, backup or dump: those operations answer
// COMM_UNSUPPORTED without traffic.

#include "comm/QvxProtocol.h"

class QvxProtocol1 : public QvxProtocol
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
        DigitalReset = 0x07,
        Reboot = 0x08,
        SystemWrite = 0x0D,
        BulkRead = 0x92,
    };
    static constexpr uchar kBroadcastId = 0xFE;
    // Largest packet sent, in bytes before the checksum.
    static constexpr int kMaxSendSize = 250;

    explicit QvxProtocol1(QObject *parent = nullptr);

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

protected:
    const Framing &framing() const override;

private:
    int txPacket(QByteArray &packet);
    int rxPacket(QByteArray *out);
    int txRxPacket(QByteArray &tx, QByteArray *rx, uchar *error);
    int writeInstruction(uchar instruction, uchar id, ushort address, ushort length, const uchar *data,
                         uchar *error);
    // Sends the instruction, awaits the reply and emits `completed` with the
    // result, the ID and the error byte (0 unless a reply was matched).
    int signalledCommand(uchar instruction, uchar id, Completion completed);
    static QByteArray instructionPacket(uchar id, uchar instruction, const QByteArray &params = QByteArray());

    static qsizetype streamPacketSize(const QByteArray &buffer, qsizetype p);
    static qsizetype replyPacketSize(const QByteArray &buffer);
    static bool checksumMatches(const QByteArray &buffer, qsizetype p, qsizetype size);
};
