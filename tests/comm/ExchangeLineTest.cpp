// The late-answer rules every link keeps, on a line whose clock the test
// holds: bytes arrive at set times, and every wait for bytes moves the clock on
// by its length, so each case knows to the millisecond how long a request
// waited. The contract table (ExchangeContractTest.cpp) runs the same rules
// against every transport on real lines.
#include "comm/CommResult.h"
#include "comm/ExchangeLine.h"

#include <QIODevice>
#include <gtest/gtest.h>

namespace {

qint64 g_now = 1'000'000;
qint64 testClock()
{
    return g_now;
}

// A sequential device whose bytes arrive at set times on the test clock.
class ScriptedLine : public QIODevice
{
public:
    ScriptedLine() { open(QIODevice::ReadWrite | QIODevice::Unbuffered); }

    void arriveAt(qint64 at, const QByteArray &bytes) { arrivals_.append({at, bytes}); }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return due() + QIODevice::bytesAvailable(); }
    bool waitForReadyRead(int ms) override
    {
        if (due() > 0)
            return true;
        g_now += qMax(ms, 0);
        return due() > 0;
    }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        qint64 n = 0;
        while (!arrivals_.isEmpty() && arrivals_.first().at <= g_now && n < maxSize) {
            QByteArray &bytes = arrivals_.first().bytes;
            const qint64 part = qMin<qint64>(bytes.size(), maxSize - n);
            memcpy(data + n, bytes.constData(), static_cast<size_t>(part));
            n += part;
            bytes.remove(0, part);
            if (bytes.isEmpty())
                arrivals_.removeFirst();
        }
        return n;
    }
    qint64 writeData(const char *, qint64 size) override { return size; }

private:
    struct Arrival
    {
        qint64 at;
        QByteArray bytes;
    };
    qint64 due() const
    {
        qint64 n = 0;
        for (const Arrival &a : arrivals_)
            n += a.at <= g_now ? a.bytes.size() : 0;
        return n;
    }
    QList<Arrival> arrivals_;
};

// The rules with the simplest framing: whatever arrives before a request is stray.
class Line : public ExchangeLine
{
public:
    explicit Line(bool refusalAnswersAll = false)
    {
        device = &line;
        wallClock = &testClock;
        refusalAnswersAnyRequest = refusalAnswersAll;
    }
    ~Line() override { device = nullptr; }

    // A request's turn and its bytes; how long its turn waited, ms.
    qint64 ask(const QByteArray &request, int address, qsizetype answerSize, qint64 windowMs = kWindow)
    {
        const qint64 start = g_now;
        EXPECT_EQ(takeTurn(request, address, answerSize), COMM_OK);
        EXPECT_EQ(writeRequest(request, 100), COMM_OK);
        replyWindow = windowMs;
        return g_now - start;
    }
    // The answer did not come within the window.
    void miss(qint64 windowMs = kWindow)
    {
        g_now += windowMs;
        markUnanswered(windowMs);
    }

    // A read of A that missed, then a read of B of the same device once A's
    // answer can no longer come; when B went.
    qint64 missThenAskAgain();

    static constexpr qint64 kWindow = 40;
    ScriptedLine line;
    QList<QByteArray> stray;

protected:
    void handOverStray() override
    {
        stray.append(rxBuffer);
        rxBuffer.clear();
    }
};

const QByteArray kReadA("read A");
const QByteArray kReadB("read B");
const QByteArray kReadC("read C");
const QByteArray kWrite("write");
constexpr int kDevice = 1;
constexpr int kOther = 2;
constexpr qsizetype kReadSize = 15;
constexpr qsizetype kStatusSize = 11;

qint64 Line::missThenAskAgain()
{
    ask(kReadA, kDevice, kReadSize);
    miss();
    ask(kReadB, kDevice, kReadSize);
    return g_now;
}

TEST(LateSpan, IsFourWindowsWithinTheBounds)
{
    const struct
    {
        qint64 window;
        qint64 span;
    } cases[] = {{0, ExchangeLine::kMinLateMs}, {40, ExchangeLine::kMinLateMs}, {450, 1800},
                 {5000, ExchangeLine::kMaxLateMs}, {-5, ExchangeLine::kMinLateMs}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.window);
        EXPECT_EQ(ExchangeLine::lateSpan(c.window), c.span);
        // And the next other request of that device waits just that long.
        Line line;
        line.ask(kReadA, kDevice, kReadSize, c.window);
        line.miss(qMax<qint64>(c.window, 0));
        EXPECT_EQ(line.ask(kReadB, kDevice, kReadSize), c.span);
    }
}

TEST(LateAnswer, OnlyARequestThatCouldTakeItWaits)
{
    const qint64 span = ExchangeLine::lateSpan(Line::kWindow);
    const struct
    {
        const char *name;
        bool refusalAnswersAll;
        int missedAddress;
        QByteArray next;
        int address;
        qsizetype size;
        qint64 waits;
    } cases[] = {
        {"the same request again", false, kDevice, kReadA, kDevice, kReadSize, 0},
        {"another device", false, kDevice, kReadB, kOther, kReadSize, 0},
        {"another size", false, kDevice, kWrite, kDevice, kStatusSize, 0},
        {"another size where a refusal answers all", true, kDevice, kWrite, kDevice, kStatusSize, span},
        {"the same size", false, kDevice, kReadB, kDevice, kReadSize, span},
        {"any device after a broadcast", false, ExchangeLine::kAnyDevice, kReadB, kOther, kReadSize, span},
        {"nobody's answer", false, kDevice, kReadB, ExchangeLine::kNoAnswer, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Line line(c.refusalAnswersAll);
        line.ask(kReadA, c.missedAddress, kReadSize);
        line.miss();
        EXPECT_EQ(line.ask(c.next, c.address, c.size), c.waits);
    }
}

TEST(LateAnswer, ArrivingDuringTheWaitIsStrayNotTheAnswer)
{
    Line line;
    line.ask(kReadA, kDevice, kReadSize);
    line.miss();
    line.line.arriveAt(g_now + 1000, "late answer of A");
    line.ask(kReadB, kDevice, kReadSize);
    ASSERT_EQ(line.stray.size(), 1);
    EXPECT_EQ(line.stray.first(), QByteArray("late answer of A"));
    EXPECT_TRUE(line.rxBuffer.isEmpty());
}

TEST(UncertainAnswer, TheRequestAfterTheSpanCountsItsOwnAnswerAsOwed)
{
    const qint64 span = ExchangeLine::lateSpan(Line::kWindow);
    Line line;
    line.ask(kReadA, kDevice, kReadSize);
    line.miss(); // and its answer never comes

    // B goes once A's answer can no longer come, but A's may still come just
    // after: B cannot tell which answer it takes.
    EXPECT_EQ(line.ask(kReadB, kDevice, kReadSize), span);
    g_now += 5; // B takes an answer
    EXPECT_TRUE(line.lastAnswerUncertain());

    // So C waits for B's own answer as if B had missed it; C is then sure.
    const qint64 bOwedUntil = g_now - 5 + Line::kWindow + span;
    const qint64 cStart = g_now;
    EXPECT_EQ(line.ask(kReadC, kDevice, kReadSize), bOwedUntil - cStart);
    g_now += 5;
    EXPECT_FALSE(line.lastAnswerUncertain());
    // And nothing holds the next one.
    EXPECT_EQ(line.ask(kReadA, kDevice, kReadSize), 0);
    EXPECT_FALSE(line.lastAnswerUncertain());
}

TEST(UncertainAnswer, WhoIsSure)
{
    const qint64 span = ExchangeLine::lateSpan(Line::kWindow);
    const struct
    {
        const char *name;
        QByteArray next;
        int address;
        qint64 after; // ms after the missed answer's span ended
        bool uncertain;
    } cases[] = {
        {"the same request again", kReadA, kDevice, 0, false},
        {"another device", kReadB, kOther, 0, false},
        {"a moment after the span", kReadB, kDevice, span / 2, true},
        {"a span after the span", kReadB, kDevice, span, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Line line;
        line.ask(kReadA, kDevice, kReadSize);
        line.miss();
        g_now += span + c.after;
        line.ask(c.next, c.address, kReadSize);
        EXPECT_EQ(line.lastAnswerUncertain(), c.uncertain);
    }
}

// Where a refusal has one form every request takes, a command after a missed
// read may take the read's late refusal, never its data: a success it takes is
// its own. Its own answer may still come all the same, and is waited for.
TEST(UncertainAnswer, OnlyAnAnswerOfItsOwnSizeCanBeAnothers)
{
    const qint64 span = ExchangeLine::lateSpan(Line::kWindow);
    Line line(true);
    line.ask(kReadA, kDevice, kReadSize);
    line.miss();
    EXPECT_EQ(line.ask(kWrite, kDevice, kStatusSize), span);
    EXPECT_FALSE(line.lastAnswerUncertain());
    g_now += 5;
    EXPECT_GT(line.ask(kReadB, kDevice, kReadSize), 0);
}

TEST(UncertainAnswer, ARequestThatMissedIsNotUncertain)
{
    Line line;
    line.ask(kReadA, kDevice, kReadSize);
    line.miss();
    line.ask(kReadB, kDevice, kReadSize);
    line.miss();
    EXPECT_FALSE(line.lastAnswerUncertain());
}

TEST(UncertainAnswer, ACertainTurnWaitsUntilNothingOwedCanBeMistaken)
{
    const qint64 span = ExchangeLine::lateSpan(Line::kWindow);
    Line line;
    line.missThenAskAgain();
    ASSERT_TRUE(line.lastAnswerUncertain());
    const qint64 start = g_now;
    EXPECT_EQ(line.awaitCertainTurn(kDevice), COMM_OK);
    EXPECT_GE(g_now - start, span);
    EXPECT_LE(g_now - start, 2 * span + Line::kWindow);
    // The read again goes at once, and is sure of its answer.
    EXPECT_EQ(line.ask(kReadB, kDevice, kReadSize), 0);
    EXPECT_FALSE(line.lastAnswerUncertain());
    // Nothing of another device is waited for.
    Line other;
    other.ask(kReadA, kDevice, kReadSize);
    other.miss();
    const qint64 before = g_now;
    EXPECT_EQ(other.awaitCertainTurn(kOther), COMM_OK);
    EXPECT_EQ(g_now, before);
}

TEST(OwedAtTheEnd, TheLineIsReadUntilNothingOwedCanCome)
{
    const qint64 span = ExchangeLine::lateSpan(Line::kWindow);
    Line line;
    line.ask(kReadA, kDevice, kReadSize);
    line.miss();
    line.line.arriveAt(g_now + 700, "late answer of A");
    const qint64 start = g_now;
    line.awaitOwedAnswers();
    EXPECT_EQ(g_now - start, span);
    ASSERT_EQ(line.stray.size(), 1);
    EXPECT_EQ(line.stray.first(), QByteArray("late answer of A"));
    // Then nothing is owed: the next request of the device goes at once.
    EXPECT_EQ(line.ask(kReadB, kDevice, kReadSize), 0);
    EXPECT_FALSE(line.lastAnswerUncertain());
}

TEST(OwedAtTheEnd, NothingOwedOrACancelledRunEndsAtOnce)
{
    {
        Line line;
        line.ask(kReadA, kDevice, kReadSize);
        g_now += 5; // answered
        const qint64 start = g_now;
        line.awaitOwedAnswers();
        EXPECT_EQ(g_now, start);
    }
    {
        Line line;
        CancellationToken token;
        line.token = &token;
        line.ask(kReadA, kDevice, kReadSize);
        line.miss();
        token.state = 1; // Ctrl+C at the end of a run
        const qint64 start = g_now;
        line.awaitOwedAnswers();
        EXPECT_EQ(g_now, start);
    }
}

TEST(OwedAtTheEnd, AnUncertainAnswerIsOwedToo)
{
    const qint64 span = ExchangeLine::lateSpan(Line::kWindow);
    Line line;
    const qint64 bSent = line.missThenAskAgain();
    g_now += 5;
    line.awaitOwedAnswers();
    EXPECT_EQ(g_now, bSent + Line::kWindow + span);
}

} // namespace
