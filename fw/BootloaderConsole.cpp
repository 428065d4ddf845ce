// The bootloader's text console: the paced write and the console wait, the
// entry (servos and controller board), the load commands, the image transfer
// in blocks or as a stream, the finale of every dialect and the failure exits.
#include "fw/QvxFirmware.h"

#include "comm/PortLine.h"
#include "comm/WriteFlush.h"

#include <QThread>

#include <chrono>
#include <thread>

namespace {

constexpr int kEntryRefreshCycles = 81; // data-less read waits before the line is refreshed
constexpr int kEntryStepMs = 5;
constexpr int kPieceSize = 128;
constexpr int kPieceWriteMs = 100;

bool holdsAny(const QByteArray &bytes, const char *characters)
{
    for (const char *c = characters; *c; ++c) {
        if (bytes.contains(*c))
            return true;
    }
    return false;
}

const char *const kConsolePrompts = "*^-";
const char *const kPacketPrompt = "$";

} // namespace

quint8 QvxFirmware::sumByte(const QByteArray &bytes)
{
    unsigned sum = 0;
    for (const char b : bytes)
        sum += static_cast<quint8>(b);
    return static_cast<quint8>(sum & 0xFF);
}

void QvxFirmware::armEntryDeadline(int ms)
{
    armedEntryDeadline = QDeadlineTimer(ms);
    entryDeadlineArmed = true;
}

// --- primitives ---------------------------------------------------------------------

bool QvxFirmware::writeConsoleBytes(const QByteArray &bytes, int waitMs)
{
    if (!bytes.isEmpty() && serial_port->write(bytes) != bytes.size())
        return false; // a closed or failing port took nothing (or not all)
    // Straight to the driver, without first asking whether it takes them; a
    // wait only for what it did not take. Judged by what is left to write: a
    // write of nothing has nothing to wait for.
    serial_port->flush();
    return flushWrites(*serial_port, waitMs);
}

bool QvxFirmware::waitForData(int waitMs)
{
    // A serial port takes in bytes while it waits for anything (a paced write,
    // say): those are already here and must not be waited for. What the line
    // brought since is taken in with them, or an answer that came after an
    // echo would wait for the next cycle.
    if (serial_port->bytesAvailable() > 0) {
        serial_port->waitForReadyRead(0);
        return true;
    }
    serial_port->waitForReadyRead(waitMs);
    return serial_port->bytesAvailable() > 0;
}

bool QvxFirmware::sendConsole(const QByteArray &data)
{
    for (const char byte : data) {
        QThread::msleep(10);
        if (!writeConsoleBytes(QByteArray(1, byte), 10))
            return false;
    }
    return true;
}

bool QvxFirmware::sendOrLog(const QByteArray &data, const QString &failure)
{
    if (sendConsole(data))
        return true;
    emit logMessage(failure);
    return false;
}

QString QvxFirmware::bufferText() const
{
    return QString::fromUtf8(consoleBuffer);
}

QString QvxFirmware::upperBufferText() const
{
    return bufferText().toUpper();
}

int QvxFirmware::waitForConsoleText(const QList<QByteArray> &words, int cycles, int pauseMs, int readMs, bool raw,
                                    bool clearFirst)
{
    if (clearFirst)
        consoleBuffer.clear();
    for (int cycle = 0; cycle < cycles; ++cycle) {
        if (!pauseOnLine(pauseMs))
            return -1; // nothing more can come
        if (!waitForData(readMs))
            continue;
        consoleBuffer += serial_port->readAll();
        const QString upper = upperBufferText();
        for (int i = 0; i < words.size(); ++i) {
            if (raw ? consoleBuffer.contains(words.at(i)) : upper.contains(QString::fromLatin1(words.at(i))))
                return i;
        }
    }
    return -1;
}

void QvxFirmware::reportWait(const QString &text, const QString &prefix)
{
    consoleBuffer = consoleBuffer.simplified();
    emit logMessage(text);
    emit logMessage(prefix + bufferText());
}

// --- step [0]: entry ----------------------------------------------------------------

bool QvxFirmware::entryCancelled()
{
    if (!cancelRequested.load() && (entryDeadline.hasExpired() || qvx_protocol->isCancelled()))
        cancelRequested.store(true); // the deadline and a cancelled command end the entry like Ctrl+C
    return cancelRequested.load();
}

bool QvxFirmware::entryLost()
{
    emit logMessage(QStringLiteral("[E] Bootloader entry: port lost"));
    emit logMessage(QStringLiteral("[E] ") + bufferText());
    return false;
}

void QvxFirmware::cancelEntry(bool clearPort)
{
    emit logMessage(QStringLiteral("[E] Bootloader entry Canceled"));
    emit logMessage(QStringLiteral("[E] ") + bufferText());
    if (clearPort) {
        consoleBuffer.clear();
        serial_port->clear(QSerialPort::AllDirections);
    }
}

bool QvxFirmware::confirmPrompt(const char *prompts)
{
    if (!sendConsole(QByteArrayLiteral("\r")))
        return false;
    pauseOnLine(kEntryStepMs);
    while (!entryCancelled()) {
        if (!waitForData(kEntryStepMs))
            return false;
        const QByteArray chunk = serial_port->readAll().simplified();
        consoleBuffer += chunk;
        if (holdsAny(chunk, prompts))
            return true;
    }
    return false;
}

bool QvxFirmware::enterBootloader(bool *packetBootloader)
{
    if (packetBootloader)
        *packetBootloader = false;
    if (!serial_port->isOpen())
        return false;
    entryDeadline = entryDeadlineArmed ? armedEntryDeadline : QDeadlineTimer(kEntryDeadlineMs);
    entryDeadlineArmed = false;
    return deviceType == 5 ? enterBoardBootloader() : enterServoBootloader(packetBootloader);
}

bool QvxFirmware::enterServoBootloader(bool *packetBootloader)
{
    consoleBuffer.clear();
    int counter = kEntryRefreshCycles;
    for (;;) {
        if (entryCancelled()) {
            cancelEntry(true);
            return false;
        }
        if (portLost())
            return entryLost();
        if (!writeConsoleBytes(QByteArrayLiteral("#"), kEntryStepMs)) {
            pauseOnLine(kEntryStepMs); // a failing port does not make this a busy loop
            continue;
        }
        pauseOnLine(kEntryStepMs);
        // The read waits: data-less ones count down; chunks are judged.
        while (!entryCancelled()) {
            if (!waitForData(kEntryStepMs)) {
                if (--counter > 0)
                    break;
                consoleBuffer.clear();
                serial_port->clear(QSerialPort::AllDirections);
                sendConsole(QByteArrayLiteral("\r"));
                counter = kEntryRefreshCycles;
                break;
            }
            QByteArray chunk = serial_port->readAll();
            chunk.replace('\0', QByteArray());
            if (chunk.contains('#'))
                sendConsole(QByteArrayLiteral("\r"));
            consoleBuffer += chunk.simplified();
            if (consoleBuffer.isEmpty())
                continue;
            const bool console = holdsAny(consoleBuffer, kConsolePrompts);
            if (!console && !consoleBuffer.contains('$'))
                continue;
            if (!confirmPrompt(console ? kConsolePrompts : kPacketPrompt))
                continue;
            emit logMessage(QStringLiteral("[0] Bootloader entry OK !!!"));
            emit logMessage(QStringLiteral("[0] ") + bufferText());
            if (console)
                emit outputDebug(bufferText());
            consoleBuffer.clear();
            serial_port->clear(QSerialPort::AllDirections);
            if (packetBootloader)
                *packetBootloader = !console;
            return true;
        }
    }
}

bool QvxFirmware::enterBoardBootloader()
{
    consoleBuffer.clear();
    bool entered = false;
    while (!entered) {
        if (entryCancelled()) {
            cancelEntry(false);
            return false;
        }
        if (portLost())
            return entryLost();
        if (!sendConsole(QByteArrayLiteral("\r")))
            continue;
        pauseOnLine(kEntryStepMs);
        while (!entered && !entryCancelled() && waitForData(kEntryStepMs)) {
            consoleBuffer += serial_port->readAll().simplified();
            if (holdsAny(consoleBuffer, kConsolePrompts) && confirmPrompt(kConsolePrompts)) {
                emit logMessage(QStringLiteral("[0] Bootloader entry OK !!!"));
                emit logMessage(QStringLiteral("[0] ") + bufferText());
                entered = true;
            }
        }
    }
    if (!sendOrLog(QByteArrayLiteral("V"), QStringLiteral("[0] Bootloader: send 'V' fail")))
        return false;
    if (waitForConsoleText({QByteArrayLiteral("SYSTEM O.K.")}) < 0) {
        reportWait(QStringLiteral("[E] SYSTEM NOT Ready"), QStringLiteral("[E] "));
        return false;
    }
    reportWait(QStringLiteral("[0] SYSTEM OK !!!"), QStringLiteral("[0] "));
    emit outputDebug(bufferText());
    return true;
}

// --- step [1]: load -----------------------------------------------------------------

namespace {
const QString kSendCrFail = QStringLiteral("[E] Load: send '\r' fail");
const QString kSendLFail = QStringLiteral("[E] Load: send 'L' fail");
const QString kSendLoadFail = QStringLiteral("[E] Load: send 'LOAD' fail");
} // namespace

bool QvxFirmware::loadRefused()
{
    consoleBuffer = consoleBuffer.simplified();
    if (!upperBufferText().contains(QStringLiteral("ERROR")))
        return false;
    reportWait(QStringLiteral("[E] L command return ERROR"), QStringLiteral("[E] "));
    return true;
}

bool QvxFirmware::loadOutcome(bool ready)
{
    if (ready)
        reportWait(QStringLiteral("[1] LOAD Ready OK !!!"), QStringLiteral("[1] "));
    else
        reportWait(QStringLiteral("[E] L command NOT Ready"), QStringLiteral("[E] "));
    return ready;
}

bool QvxFirmware::loadFirmware()
{
    if (!serial_port->isOpen())
        return false;
    const auto ready = [this] { return waitForConsoleText({QByteArrayLiteral("READY")}) >= 0; };
    switch (deviceType) {
    case 0:
    case 5: {
        if (!sendOrLog("L", kSendLFail))
            return false;
        const bool ok = ready();
        if (!ok && deviceType == 0 && loadRefused())
            return false;
        return loadOutcome(ok);
    }
    case 4:
        if (!sendOrLog("L", kSendLFail))
            return false;
        return loadOutcome(waitForConsoleText({QByteArrayLiteral("L")}) >= 0);
    case 1: {
        if (!sendOrLog("\r", kSendCrFail) || !sendOrLog("L", kSendLFail) || !sendOrLog("\r", kSendCrFail))
            return false;
        const bool ok = ready();
        return !ok && loadRefused() ? false : loadOutcome(ok);
    }
    default: { // 2, 3 and any other value: "LOAD", then once more with "L"
        if (!sendOrLog("\r", kSendCrFail) || !sendOrLog("LOAD", kSendLoadFail) || !sendOrLog("\r", kSendCrFail))
            return false;
        bool ok = ready();
        if (!ok) {
            if (loadRefused() || !sendOrLog("L", kSendLFail) || !sendOrLog("\r", kSendCrFail))
                return false;
            ok = ready();
        }
        return !ok && loadRefused() ? false : loadOutcome(ok);
    }
    }
}

bool QvxFirmware::loadAtAddress()
{
    if (!serial_port->isOpen())
        return false;
    const bool longForm = deviceType == 2;
    if (!sendOrLog("\r", kSendCrFail))
        return false;
    if (longForm ? !sendOrLog("LOAD 8009000", kSendLoadFail) : !sendOrLog("L 8009000", kSendLFail))
        return false;
    if (!sendOrLog("\r", kSendCrFail))
        return false;
    const auto ready = [this] { return waitForConsoleText({QByteArrayLiteral("READY")}) >= 0; };
    bool ok = ready();
    if (!ok && loadRefused())
        return false;
    if (!ok && longForm) {
        if (!sendOrLog("L 8009000", kSendLFail) || !sendOrLog("\r", kSendCrFail))
            return false;
        ok = ready();
        if (!ok && loadRefused())
            return false;
    }
    return loadOutcome(ok);
}

// --- step [2]: transfer -------------------------------------------------------------

bool QvxFirmware::sendFile(const Image &image)
{
    if (!serial_port->isOpen() || !sendable(image))
        return false;
    return deviceType == 4 ? blockTransfer(image.bytes) : streamTransfer(image.bytes);
}

bool QvxFirmware::blockTransfer(const QByteArray &image)
{
    const QString canceled = QStringLiteral("[E] sendFile Canceled");
    if (cancelRequested.load()) {
        emit logMessage(canceled);
        return false;
    }
    const qint64 size = image.size();
    qint64 index = 0;
    qint64 remain = size;
    for (;;) {
        emit logMessage(QStringLiteral("index = %1, remain = %2").arg(index).arg(remain));
        const qint64 n = qMin<qint64>(kPieceSize, remain);
        QByteArray block = image.mid(index, n);
        block += static_cast<char>(sumByte(block));
        index += n;
        remain -= n;
        if (!writeConsoleBytes(block, kPieceWriteMs)) {
            emit logMessage(QStringLiteral("[E] sendFile: write fail"));
            return false;
        }
        emit firmware_progress(static_cast<int>((size - remain) * 100 / size));

        if (waitForConsoleText({QByteArrayLiteral("O:"), QByteArrayLiteral("X:")}, 20, 10, 10) >= 0)
            reportWait(QStringLiteral("[2] sendFile: OK !!!"), QStringLiteral("[2] "));
        if (!upperBufferText().contains(QStringLiteral("O:"))) {
            reportWait(QStringLiteral("[E] sendFile: fail !!!"), QStringLiteral("[E] "));
            return false;
        }
        if (remain == 0)
            return true;
        if (!sendOrLog("X", QStringLiteral("[E] sendFile: send 'X' fail")))
            return false;
        if (waitForConsoleText({QByteArrayLiteral("X")}, 10, 50, 50) >= 0)
            reportWait(QStringLiteral("[2] X command OK !!!"), QStringLiteral("[2] "));
        if (!upperBufferText().contains(QStringLiteral("X"))) {
            reportWait(QStringLiteral("[E] X command NOT Ready"), QStringLiteral("[E] "));
            return false;
        }
        pauseOnLine(100);
        if (cancelRequested.load()) {
            emit logMessage(canceled);
            return false;
        }
    }
}

bool QvxFirmware::streamTransfer(QByteArray image)
{
    const QString canceled = QStringLiteral("[E] sendFile Canceled");
    consoleBuffer.clear();
    const qint64 size = image.size();
    image += static_cast<char>(sumByte(image));
    qint64 written = 0;
    int shown = -1;
    // One piece a millisecond, on a schedule kept from the first: the write
    // and the sleep's rounding take from the pause instead of adding to it,
    // and on a line slower than that the pieces go as fast as it takes them.
    const auto start = std::chrono::steady_clock::now();
    for (qint64 piece = 1;; ++piece) {
        if (cancelRequested.load()) {
            emit logMessage(canceled);
            return false;
        }
        const qint64 left = image.size() - written;
        if (left >= kPieceSize) {
            if (!writeConsoleBytes(image.mid(written, kPieceSize), kPieceWriteMs)) {
                emit logMessage(QStringLiteral("[E] sendFile: write fail"));
                return false;
            }
            written += kPieceSize;
            const int progress = static_cast<int>((written - 1) * 100 / size);
            if (progress != shown) // the same per cent again would draw nothing new
                emit firmware_progress(shown = progress);
            std::this_thread::sleep_until(start + std::chrono::milliseconds(piece));
            continue;
        }
        // The last piece: 0 to 127 bytes. An empty one is written at once.
        if (!writeConsoleBytes(image.mid(written), kPieceWriteMs)) {
            emit logMessage(QStringLiteral("[E] sendFile: write fail"));
            return false;
        }
        emit firmware_progress(100);
        if (cancelRequested.load()) {
            emit logMessage(canceled);
            return false;
        }
        break;
    }
    if (waitForConsoleText({QByteArrayLiteral("SUCCESS")}, 10, 250, 50, false, false) >= 0) {
        reportWait(QStringLiteral("[2] send file OK !!!"), QStringLiteral("[2] "));
        return true;
    }
    consoleBuffer = consoleBuffer.simplified();
    const QString upper = upperBufferText();
    if (upper.contains(QStringLiteral("ERROR")))
        emit logMessage(QStringLiteral("[E] sendFile: return ERROR"));
    else if (upper.contains(QStringLiteral("FAIL")))
        emit logMessage(QStringLiteral("[E] sendFile: return FAIL"));
    else
        emit logMessage(QStringLiteral("[E] sendFile: NOT Success"));
    emit logMessage(QStringLiteral("[E] ") + bufferText());
    return false;
}

// --- step [3]: finale ---------------------------------------------------------------

bool QvxFirmware::finale(bool reset)
{
    if (!serial_port->isOpen())
        return false;
    const QString resetOk = QStringLiteral("[3] finale: Reset OK !!!");
    const QString resetNot = QStringLiteral("[E] finale: Reset NOT Success");
    const QString goOk = QStringLiteral("[3] finale: Go OK !!!");
    const QString goNot = QStringLiteral("[E] finale: Go NOT Success");
    const QString sendG = QStringLiteral("[E] finale: send 'G' fail");
    const QString sendR = QStringLiteral("[E] finale: send 'R' fail");
    // One wait and its outcome lines; true when the word came.
    const auto await = [this](const QByteArray &word, const QString &ok, const QString &missed, bool raw = false) {
        const bool found = waitForConsoleText({word}, 10, 250, 50, raw) >= 0;
        if (found)
            reportWait(ok, QStringLiteral("[3] "));
        else
            reportWait(missed, QStringLiteral("[E] "));
        return found;
    };

    switch (deviceType) {
    case 5:
        if (!writeConsoleBytes(QByteArrayLiteral("AT&CTRST"), 50)) {
            emit logMessage(QStringLiteral("[E] finale: send 'AT&CTRST' fail"));
            return false;
        }
        if (!await("RESET", resetOk, resetNot))
            return false;
        if (!sendOrLog("G", sendG))
            return false;
        closePortLine(*serial_port);
        return true;
    case 4:
        if (reset)
            return sendOrLog("R", sendR) && await("RESET", resetOk, resetNot);
        return sendOrLog("G", sendG) && await("GO", goOk, goNot);
    case 0:
        if (!sendOrLog("A", QStringLiteral("[E] finale: send 'A' fail")))
            return false;
        if (!await("Application", QStringLiteral("[3] finale: Application OK !!!"),
                   QStringLiteral("[E] finale: Application NOT Success"), true))
            return false;
        if (reset)
            return sendOrLog("R", sendR) && await("Reset", resetOk, resetNot, true);
        return sendOrLog("G", sendG) && await("GO", goOk, goNot);
    default:
        return finaleServo(reset);
    }
}

bool QvxFirmware::finaleServo(bool reset)
{
    // Dialects 1, 2 and 3: the answer to the go part decides.
    const bool longWords = deviceType != 1;
    const QString sendCr = QStringLiteral("[E] finale: send '\r' fail");
    const QString sendG = QStringLiteral("[E] finale: send 'G' fail");
    const QString sendR = QStringLiteral("[E] finale: send 'R' fail");
    const auto await = [this](const QByteArray &word, const QString &ok, const QString &missed) {
        const bool found = waitForConsoleText({word}) >= 0;
        reportWait(found ? ok : missed, found ? QStringLiteral("[3] ") : QStringLiteral("[E] "));
        return found;
    };
    const QString resetOk = QStringLiteral("[3] finale: Reset OK !!!");
    const QString resetNot = QStringLiteral("[E] finale: Reset NOT Success");
    const QString goOk = QStringLiteral("[3] finale: Go OK !!!");
    const QString goNot = QStringLiteral("[E] finale: Go NOT Success");

    if (reset) {
        if (longWords) {
            if (!sendOrLog("RESET", QStringLiteral("[E] finale: send 'RESET' fail")))
                return false;
            if (!await("RESET", QStringLiteral("[3] finale: Send Reset OK !!!"),
                       QStringLiteral("[E] finale: Send Reset NOT Success")))
                return false;
        } else if (!sendOrLog("R", sendR)) {
            return false;
        }
        if (!sendOrLog("\r", sendCr))
            return false;
        await("RESET", resetOk, resetNot);
        if (longWords) {
            if (!sendOrLog("R", sendR) || !sendOrLog("\r", sendCr))
                return false;
            await("RESET", resetOk, resetNot);
        }
    }

    if (longWords) {
        if (!sendOrLog("GO", QStringLiteral("[E] finale: send 'GO' fail")))
            return false;
        if (deviceType == 2)
            await("GO", QStringLiteral("[3] finale: Send Go OK !!!"), QStringLiteral("[E] finale: Send Go NOT Success"));
    } else if (!sendOrLog("G", sendG)) {
        return false;
    }
    if (!sendOrLog("\r", sendCr))
        return false;
    if (waitForConsoleText({"GO"}) >= 0) {
        reportWait(goOk, QStringLiteral("[3] "));
        return true;
    }
    if (longWords) {
        if (!sendOrLog("G", sendG) || !sendOrLog("\r", sendCr))
            return false;
        if (waitForConsoleText({"GO"}) >= 0) {
            reportWait(goOk, QStringLiteral("[3] "));
            return true;
        }
    }
    reportWait(goNot, QStringLiteral("[E] "));
    return false;
}

// --- failure exits ------------------------------------------------------------------

void QvxFirmware::failWith(const QList<QByteArray> &commands, const QString &text)
{
    for (const QByteArray &command : commands)
        sendConsole(command); // whatever the port does: the exit goes on
    closePortLine(*serial_port);
    emit firmware_failed(text);
    port_held = false;
}

void QvxFirmware::failWithGo(const QString &text)
{
    failWith({"GO", "\r", "G", "\r"}, text);
}

void QvxFirmware::failWithGoAddress(const QString &text)
{
    failWith({"GO 8009000", "\r", "G 8009000", "\r"}, text);
}
