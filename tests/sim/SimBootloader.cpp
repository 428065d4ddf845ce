#include "tests/sim/SimBootloader.h"

#include "tests/sim/SimBus.h"
#include "tests/sim/SimPackets.h"

#include <QRegularExpression>

#include <utility>

namespace sim {

namespace {

// Quiet time after which a stream or a short block is judged complete.
constexpr qint64 kQuietMs = 100;
// Quiet time after which a stream whose sum does not match is given up.
constexpr qint64 kGiveUpMs = 1000;
constexpr int kBlockWithSum = 129;
// The bootloader packets' status reply comes from this ID.
constexpr quint8 kBootId = 0xFE;

quint8 sumOf(const QByteArray &bytes)
{
    unsigned sum = 0;
    for (const char b : bytes)
        sum += static_cast<quint8>(b);
    return static_cast<quint8>(sum);
}

quint32 word32(const QByteArray &b, qsizetype i)
{
    quint32 v = 0;
    for (int k = 3; k >= 0; --k)
        v = (v << 8) | static_cast<quint8>(b.at(i + k));
    return v;
}

QByteArray indexAndTotal(int index, qint64 total)
{
    QByteArray b;
    b += static_cast<char>(index & 0xFF);
    b += static_cast<char>((index >> 8) & 0xFF);
    for (int k = 0; k < 4; ++k)
        b += static_cast<char>((total >> (8 * k)) & 0xFF);
    return b;
}

// The commands each immediate dialect acts on as soon as they are typed.
QList<QByteArray> immediateCommands(int dialect)
{
    switch (dialect) {
    case 0: return {"L", "A", "G", "R"};
    case 4: return {"L", "G", "R"};
    default: return {"V", "L", "G", "AT&CTRST"};
    }
}

} // namespace

std::optional<int> imageVersion(const QByteArray &image)
{
    static const QRegularExpression version(QStringLiteral("version=(\\d+)"));
    const QString firstLine = QString::fromLatin1(image.left(image.indexOf('\n')).left(200));
    const QRegularExpressionMatch m = version.match(firstLine);
    if (!m.hasMatch())
        return std::nullopt;
    return m.captured(1).toInt();
}

Bootloader::Bootloader(const BootloaderSetup &setup)
    : setup_(setup)
    , echoesLeft_(setup.faults.nulEchoes)
{
}

bool Bootloader::takesRawBytes() const
{
    return phase_ != Phase::Packets;
}

QByteArray Bootloader::prompt() const
{
    if (setup_.packets)
        return QByteArrayLiteral("\r\n$");
    switch (setup_.dialect) {
    case 0:
    case 4: return QByteArrayLiteral("\r\n*");
    case 1: return QByteArrayLiteral("\r\n^");
    default: return QByteArrayLiteral("\r\n-");
    }
}

QList<Reply> Bootloader::say(const QByteArray &text) const
{
    const int gap = setup_.faults.splitGapMs;
    if (gap <= 0 || text.size() < 2)
        return {Reply{text}};
    const qsizetype half = text.size() / 2;
    return {Reply{text.left(half)}, Reply{text.mid(half), gap}};
}

void Bootloader::takeImageBytes(const QByteArray &bytes)
{
    imageBytesSeen_ += bytes.size();
    if (setup_.faults.silentAfter >= 0 && imageBytesSeen_ >= setup_.faults.silentAfter)
        phase_ = Phase::Silent;
}

QByteArray Bootloader::takeHandOver()
{
    return std::exchange(handOver_, QByteArray());
}

QList<Reply> Bootloader::feed(const QByteArray &bytes, qint64 nowMs)
{
    QList<Reply> out;
    for (const char &c : bytes) {
        switch (phase_) {
        case Phase::Silent:
        case Phase::Packets:
            break;
        case Phase::Entry: {
            const char knock = setup_.dialect == 5 && !setup_.packets ? '\r' : '#';
            if (c != knock || setup_.faults.neverEnters)
                break;
            if (echoesLeft_ > 0) {
                --echoesLeft_;
                out += say(QByteArray("\0\0#\0", 4));
                break;
            }
            out += Reply{prompt()}; // the prompts are never split: the entry reads them in moments
            phase_ = Phase::Prompted;
            break;
        }
        case Phase::Prompted:
            // The packet kind answers every carriage return until its first
            // packet: an entry that missed the answer asks again.
            if (setup_.packets && c == '\xFF') {
                phase_ = Phase::Packets;
                handOver_ = bytes.mid(&c - bytes.constData());
                return out;
            }
            if (c == '\r') {
                out += Reply{prompt()};
                if (!setup_.packets)
                    phase_ = Phase::Console;
            }
            break;
        case Phase::Console:
        case Phase::AwaitX:
        case Phase::Calibration:
            out += onConsoleByte(c);
            break;
        case Phase::Stream:
            pending_ += c;
            lastByteMs_ = nowMs;
            takeImageBytes(QByteArray(1, c));
            break;
        case Phase::Blocks:
            pending_ += c;
            lastByteMs_ = nowMs;
            takeImageBytes(QByteArray(1, c));
            if (phase_ == Phase::Blocks && pending_.size() == kBlockWithSum)
                out += endBlock();
            break;
        }
    }
    return out;
}

QList<Reply> Bootloader::onConsoleByte(char c)
{
    if (phase_ == Phase::AwaitX) {
        switch (c) {
        case 'X':
            phase_ = Phase::Blocks;
            return say("X\r\n");
        case 'G':
        case 'R':
            imageComplete_ = true;
            return command(QByteArray(1, c));
        case 'L': // another load starts over
            return command(QByteArray(1, c));
        default:
            return {};
        }
    }
    if (lineMode()) {
        if (c == '\n')
            return {};
        if (c != '\r') {
            line_ += c;
            return say(QByteArray(1, c)); // typed characters are echoed
        }
        const QByteArray word = line_.trimmed();
        line_.clear();
        if (word.isEmpty())
            return say(prompt());
        QList<Reply> out = say("\r\n");
        out += command(word);
        return out;
    }
    if (c == '\r' || c == '\n') {
        line_.clear();
        return c == '\r' ? QList<Reply>{Reply{prompt()}} : QList<Reply>{};
    }
    line_ += c;
    const QList<QByteArray> commands = immediateCommands(setup_.dialect);
    if (commands.contains(line_)) {
        const QByteArray word = line_;
        line_.clear();
        return command(word);
    }
    for (const QByteArray &cmd : commands) {
        if (cmd.startsWith(line_))
            return {};
    }
    line_.clear();
    return {};
}

QList<Reply> Bootloader::command(const QByteArray &word)
{
    const int d = setup_.dialect;
    if (phase_ == Phase::Calibration)
        return calibrationCommand(word);
    const bool longAddressForm = word == "LOAD 8009000" || word == "GO 8009000";
    if (longAddressForm && setup_.faults.shortFormsOnly)
        return say("?" + prompt());
    if (word == "L" || word == "LOAD" || word == "L 8009000" || word == "LOAD 8009000") {
        if (setup_.faults.rejectLoad)
            return say("ERROR\r\n");
        calibrationLoad_ = word.endsWith("8009000");
        image_.clear();
        pending_.clear();
        imageComplete_ = false;
        imageBytesSeen_ = 0;
        if (d == 4) {
            phase_ = Phase::Blocks;
            return say("L\r\n");
        }
        phase_ = Phase::Stream;
        return say("READY\r\n");
    }
    if (word == "V" && d == 5)
        return say("SYSTEM O.K.\r\n");
    if (word == "A" && d == 0)
        return say("Application\r\n");
    if (word == "AT&CTRST" && d == 5)
        return say("RESET\r\n");
    if ((word == "G 8009000" || word == "GO 8009000") && calibrationLoad_ && imageComplete_) {
        phase_ = Phase::Calibration;
        calibrationStep_ = 0;
        return calibrationAnswer();
    }
    if (word == "G" || word == "GO")
        return startApplication(d == 5 ? QByteArray() : QByteArrayLiteral("GO\r\n"));
    if (word == "R" && d == 0)
        return startApplication("Reset\r\n");
    if (word == "R" && d == 4)
        return startApplication("RESET\r\n");
    if (word == "R" || word == "RESET")
        return say("RESET\r\n"); // the go that follows starts the application
    return say("?" + prompt());
}

QList<Reply> Bootloader::calibrationCommand(const QByteArray &word)
{
    if (word == "N")
        return calibrationAnswer();
    if (word == "C")
        return startApplication("CANCEL\r\n");
    return {};
}

QList<Reply> Bootloader::calibrationAnswer()
{
    const QByteArray answer = setup_.calibrationAnswers.value(calibrationStep_++);
    if (answer.contains("COMPLETE"))
        return startApplication(answer + "\r\n");
    return answer.isEmpty() ? QList<Reply>{} : say(answer + "\r\n");
}

QList<Reply> Bootloader::startApplication(const QByteArray &text)
{
    finished_ = true;
    phase_ = Phase::Silent;
    return text.isEmpty() ? QList<Reply>{} : say(text);
}

QList<Reply> Bootloader::endBlock()
{
    const QByteArray data = pending_.left(pending_.size() - 1);
    const quint8 sum = static_cast<quint8>(pending_.back());
    pending_.clear();
    const bool good = !setup_.faults.rejectBlock && !setup_.faults.wrongSum && sumOf(data) == sum;
    if (!good)
        return say("X:\r\n");
    image_ += data;
    phase_ = Phase::AwaitX;
    return say(QByteArrayLiteral("O:") + QByteArray::number(image_.size()) + "\r\n");
}

qint64 Bootloader::nextDecisionMs() const
{
    if (pending_.isEmpty() || (phase_ != Phase::Stream && phase_ != Phase::Blocks))
        return -1;
    return lastByteMs_ + kQuietMs;
}

QList<Reply> Bootloader::idle(qint64 nowMs)
{
    const qint64 quiet = nowMs - lastByteMs_;
    if (pending_.isEmpty() || quiet < kQuietMs)
        return {};
    if (phase_ == Phase::Blocks)
        return endBlock(); // a last block shorter than a whole one
    if (phase_ != Phase::Stream)
        return {};
    const QByteArray data = pending_.left(pending_.size() - 1);
    const bool good = pending_.size() >= 2 && !setup_.faults.wrongSum
                      && sumOf(data) == static_cast<quint8>(pending_.back());
    if (!good && !setup_.faults.wrongSum && quiet < kGiveUpMs)
        return {}; // perhaps a stall in the middle: wait for more
    pending_.clear();
    phase_ = Phase::Console;
    if (!good)
        return say("CHECKSUM FAIL\r\n");
    image_ = data;
    if (!setup_.faults.streamAnswer.isEmpty())
        return say(setup_.faults.streamAnswer + "\r\n");
    imageComplete_ = true;
    return say("SUCCESS\r\n");
}

QList<Reply> Bootloader::packet(const Instruction &in)
{
    if (phase_ != Phase::Packets)
        return {};
    const QByteArray &p = in.params;
    const auto status = [this](quint8 error, const QByteArray &params = {}) {
        return say(bootStatus2(kBootId, error, params));
    };
    switch (in.code) {
    case 0x06:
        return status(0);
    case 0xF8: {
        QList<Reply> out = status(0);
        finished_ = true;
        phase_ = Phase::Silent;
        return out;
    }
    case 0xF7:
        break;
    default:
        return status(0x02);
    }
    if (p.isEmpty())
        return status(0x05);
    const int mode = static_cast<quint8>(p.at(0));
    if ((mode == 1 || mode == 17) && p.size() >= 5) {
        if (setup_.faults.rejectLoad)
            return status(0x01, indexAndTotal(0, 0));
        image_.clear();
        imageComplete_ = false;
        imageBytesSeen_ = 0;
        announcedSize_ = word32(p, 1);
        dataMode_ = mode + 1;
        nextIndex_ = 0;
        return status(0, indexAndTotal(0, 0));
    }
    if ((mode != dataMode_ && mode != dataMode_ + 1) || p.size() < 3)
        return status(0x01, indexAndTotal(nextIndex_, image_.size()));
    const int index = static_cast<quint8>(p.at(1)) | (static_cast<quint8>(p.at(2)) << 8);
    const QByteArray data = p.mid(3);
    takeImageBytes(data);
    if (phase_ == Phase::Silent)
        return {};
    const bool last = mode == dataMode_ + 1;
    if (index != nextIndex_ || (setup_.faults.rejectBlock && !last))
        return status(0x01, indexAndTotal(nextIndex_, image_.size()));
    image_ += data;
    if (!last) {
        ++nextIndex_;
        return status(0, indexAndTotal(index, image_.size()));
    }
    imageComplete_ = !setup_.faults.wrongSum && image_.size() == announcedSize_;
    return status(imageComplete_ ? 0 : 0x01, indexAndTotal(index, image_.size()));
}

} // namespace sim
