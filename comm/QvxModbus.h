#pragma once
// The Modbus transport: servos reached over Modbus RTU (our own client on the
// serial port, ModbusRtu) or Modbus TCP (the Qt Serial Bus client) instead of
// the servo bus protocols. The control table lives in the servo's holding
// registers, two table bytes a register (the even address in the low byte),
// and the servo's bus ID is the server address of every request. Every
// operation is synchronous: it sends one request, waits for its reply (over
// TCP in a local event loop) and returns a result code.
//
// Device error byte of this transport: 0 without an exception answer, the
// exception code + 100 after one (codes 1 to 8 give 101 to 108), 99 for a
// protocol error that carries no exception code. An exception answer returns
// COMM_OK, so callers test the error byte as well.
//
// The operations only the servo protocols have are stubs that answer
// COMM_UNSUPPORTED without traffic.

#include "comm/CommResult.h"
#include "comm/QvxComm.h"

#include <QSerialPort>

#include <QModbusDataUnit>
#include <QModbusDevice>

class ModbusRtu;
class QModbusClient;
class QModbusReply;

class QvxModbus : public QvxComm
{
    Q_OBJECT

public:
    // The device error byte of exception code n is n + kExceptionErrorBase.
    static constexpr int kExceptionErrorBase = 100;
    // Every exception answer: it carries no data.
    bool isRefusedRead(uchar error) const override { return error != 0; }
    // Response time-outs of the requests, in ms.
    static constexpr int kItemTimeoutMs = 50;
    static constexpr int kClearTimeoutMs = 10000;
    static constexpr int kAuxTimeoutMs = 2000;
    // A block read waits 5 ms a register, at least kItemTimeoutMs.
    static constexpr int kBlockMsPerRegister = 5;
    // Registers in one block read, the most a Modbus read may carry.
    static constexpr int kMaxBlockRegisters = 125;

    explicit QvxModbus(QObject *parent = nullptr);
    ~QvxModbus() override;

    int ping(uchar id, ushort *model_number, uchar *firmware_version, uchar *error) override;
    int broadcastPing(int wait_ms) override;
    int shufflePing(int wait_ms) override;
    int shuffleId(uchar id, QByteArray data, int wait_ms, int count) override;
    // A link exists and doConnectQvx has found the device.
    bool isOpen() const override;
    void awaitOwedAnswers() override;
    // Closes, stores the rate and connects to the stored target ID again.
    bool setBaudRate(int baudrate) override;
    QString version() const override;
    // Neither applies here: every request has its own fixed time-out.
    void setProtocolVersion(QString version) override;
    void setTimeout(int ms) override;

    // Item transfers. The error byte is written only after an exception
    // answer: callers set it to 0 first. A read sets *value to 0 once its
    // reply has come (or timed out), before judging it.
    int read1Byte(uchar id, ushort address, int *value, uchar *error) override;
    int read2Byte(uchar id, ushort address, int *value, uchar *error) override;
    int read4Byte(uchar id, ushort address, int *value, uchar *error) override;
    // Reads the register that holds the byte and writes it back with the byte
    // changed (the other byte as it was read).
    int write1Byte(uchar id, ushort address, int value, uchar *error) override;
    int write2Byte(uchar id, ushort address, int value, uchar *error) override;
    int write4Byte(uchar id, ushort address, int value, uchar *error) override;

    bool doConnectQvx(uchar id) override;
    void doDisconnectQvx() override;
    // The update and graph polls: `length` >> 1 registers (an odd length loses
    // its last byte) through readRegisterRange into rxBuffer. The busy flag is
    // set for the whole series.
    int readUpdate(uchar id, ushort length) override;
    int readGraph(uchar id, ushort address, ushort length) override;
    int readMultiGraph(qvx::MultiGraphReadParams params) override;
    int bulkWrite(QByteArray params) override;
    int syncWriteDirect(ushort address, ushort length, QByteArray params) override;
    bool isMotionInProgress(qvx::MotionAgingOption &option) override;

    // Replaces the link: 2 Modbus RTU, 3 Modbus TCP. Any other type leaves
    // the transport without one (every request then gives COMM_NOT_AVAILABLE).
    void createDevice(int type);
    // The response time-out the last request was given, ms.
    int responseTimeout() const { return responseTimeoutMs; }
    // Writes the low 16 bits of `value` to register address >> 1.
    int writeRegister(uchar id, ushort address, int value, uchar *error, int timeoutMs);
    // Sends the device to its bootloader through its command register at
    // `address` (0: the model has none; COMM_UNSUPPORTED, nothing sent). No signal.
    int rebootToBootloader(uchar id, ushort address);
    // Reads `count` registers (at most 125) from register `startRegister` and
    // appends them to rxBuffer, low byte first. Sets *error to 0 first.
    int readRegisters(uchar id, ushort startRegister, ushort count, uchar *error);
    // The block read every caller shares: `count` registers from
    // `startRegister` appended to rxBuffer, 125 a request, each request
    // starting where the previous one ended. It stops at the first request
    // that fails or is answered with an exception, with that request's result
    // and error byte: the bytes before it are no block, so a caller takes
    // rxBuffer only when both are 0. The caller clears rxBuffer first and
    // decides which registers hold the table bytes it wants.
    int readRegisterRange(uchar id, ushort startRegister, int count, uchar *error);

    ModbusRtu *rtu = nullptr;       // the Modbus RTU link (connection type 2); owned
    QModbusClient *client = nullptr; // the Modbus TCP link (connection type 3); a child
    QByteArray rxBuffer;     // the block reads' bytes; the owner clears it before a series
    bool writeSeen = false;  // a write was acknowledged since readUpdate cleared it

public slots:
    bool open(QString port_name, int baudrate) override;
    void close() override;
    int write1ByteTxRx(uchar id, ushort address, uchar data, QString protocol_version = QString()) override;
    int write2ByteTxRx(uchar id, ushort address, ushort data, QString protocol_version = QString()) override;
    int write4ByteTxRx(uchar id, ushort address, uint data, QString protocol_version = QString()) override;
    int read1ByteTxRx(uchar id, ushort address, QString protocol_version = QString()) override;
    int read2ByteTxRx(uchar id, ushort address, QString protocol_version = QString()) override;
    int read4ByteTxRx(uchar id, ushort address, QString protocol_version = QString()) override;
    int sysWrite1ByteTxRx(uchar id, ushort address, uchar data, QString protocol_version = QString()) override;
    int sysWrite2ByteTxRx(uchar id, ushort address, ushort data, QString protocol_version = QString()) override;
    int sysWrite4ByteTxRx(uchar id, ushort address, uint data, QString protocol_version = QString()) override;
    int syncWrite(ushort address, ushort data_length, QByteArray param, QString protocol_version = QString()) override;
    // The device commands write one value to the command register at the
    // control-table byte `address` that the model's description names; 0
    // means the model has none: COMM_UNSUPPORTED, nothing sent, no signal.
    int reset(uchar id, ushort address = 0) override;
    int reboot(uchar id, ushort address = 0) override;
    int clear(uchar id, uchar param, ushort address = 0) override;
    int multiturnClear(uchar id, uchar param, ushort address) override;
    int auxBackup(uchar id, ushort address = 0) override;
    int auxRestore(uchar id, ushort address = 0) override;
    // A lost link (ConnectionError) drops it; every other error is only logged.
    void handleError(QModbusDevice::Error error);
    void startMultiGraph(qvx::MultiGraphReadParams params, int interval, bool fast = false) override;
    int dumpReadData(uchar type, ushort index, ushort size) override;
    int readHandPresetData(uchar id, ushort address, int joint_slot_count) override;
    int writeHandPresetData(uchar id, ushort address, qvx::HandPresetData data, int joint_slot_count) override;

private:
    // How an exchange judges a reply that came with an error.
    enum class Judge {
        Full,         // exception: COMM_OK with the error byte; time-out; others
        QuietTimeout, // as Full, but a time-out is not logged (the ping)
        Plain,        // every reply error is COMM_RX_FAIL, the error byte untouched
    };
    struct Outcome
    {
        int result = COMM_OK;
        bool waited = false;    // a reply was waited for (finished, failed or timed out)
        bool succeeded = false; // the reply came without any error
        QModbusDataUnit values; // the reply's values when it succeeded
    };

    // One request: send `unit` to server `id` with `timeoutMs`, wait for the
    // reply and judge it.
    Outcome exchange(uchar id, const QModbusDataUnit &unit, bool write, int timeoutMs, uchar *error,
                     Judge judge = Judge::Full);
    // What became of one request, as the judge reads it.
    struct Reply
    {
        int result = COMM_OK; // COMM_OK: a reply came, with or without error
        QModbusDevice::Error kind = QModbusDevice::NoError;
        QString errorString;
        int exceptionCode = 0xFF;
        QModbusDataUnit values;
    };
    Reply exchangeRtu(uchar id, const QModbusDataUnit &unit, bool write, int timeoutMs);
    Reply exchangeClient(uchar id, const QModbusDataUnit &unit, bool write, int timeoutMs);
    bool hasLink() const;
    // The serial port of the RTU link reported an error: a lost port is
    // closed, reported once, and the link dropped.
    void onPortError(QSerialPort::SerialPortError error);
    // An item read of `width` bytes at `address`: *decoded is the decoded
    // value when the reply succeeded, else 0. Logs the registers and the value
    // (the 4-byte value as unsigned when `unsignedLog`).
    Outcome readWidth(uchar id, ushort address, int width, bool unsignedLog, quint32 *decoded, uchar *error);
    int syncRead(uchar id, ushort address, int width, int *value, uchar *error);
    template <class T>
    int notifiedRead(uchar id, ushort address, int width, void (QvxComm::*completed)(int, uchar, ushort, T, uchar));
    template <class T>
    int notifiedWrite(uchar id, ushort address, T data, int (QvxModbus::*write)(uchar, ushort, int, uchar *),
                      void (QvxComm::*completed)(int, uchar, ushort, T, uchar));
    // A write of `values` from the register of byte `address`.
    int writeValues(uchar id, ushort address, const QList<quint16> &values, uchar *error, int timeoutMs);
    // A device command: `value` to the command register, `signal` on every outcome.
    int command(uchar id, ushort address, int value, int timeoutMs, bool viaWrite2Byte,
                void (QvxComm::*completed)(int, uchar, uchar));
    // Ends whatever the connection drives: plain aging, the graph and update
    // timers, the block buffer and both gap windows; the state goes to 0.
    // `closing` also disconnects the client and says closed().
    void dropLink(bool closing);

    int responseTimeoutMs = kItemTimeoutMs;
};
