#pragma once
// The rules every request and its answer keep on a byte link, whatever
// framing runs above it (the servo packet engines on a serial port or a TCP
// socket, the Modbus RTU client on a serial port). They are written here once:
//
//  - Nothing that arrived before a request answers it. Before a request
//    leaves, what the link holds is taken in and handed over as stray traffic.
//  - A request whose answer did not come within its window may still be
//    answered late: the device owes that answer. The next request to the
//    same device that could take it (one of the same size, or any request
//    where a refusal has one form all take) waits until it can no longer
//    come (the late span: kLateWindows of that window, at least kMinLateMs,
//    at most kMaxLateMs), so that the late answer arrives before the request
//    and is stray. A repeat of the very same request goes at once: a late
//    answer answers the same question. Requests to other devices go at once:
//    every answer names its device. After a broadcast any device may still
//    answer, so the next request of the answer's size waits whatever its
//    device.
//  - An answer later than the late span cannot be told from the answer of
//    the request that takes it. So a request that goes while an answer of its
//    device was owed until a moment ago (within one more late span) counts
//    its own answer as owed once it took one: the next other request waits
//    for it, and a stream of requests never shifts onto the answers of the
//    ones before. Such an answer is flagged (lastAnswerUncertain) for those
//    who must not act on it (a read before a write of the same register).
//  - An answer is taken only when it has the size its request asks for (or
//    is the device's refusal): each framing says which sizes those are.
//  - Whoever lets the line go for others (the end of a run, the user's
//    close) first waits until nothing owed can come (awaitOwedAnswers), so
//    that no late answer meets the next program on the line. A link opened
//    afresh holds nothing late.
//  - What is held stays bounded, whatever a peer sends.
//  - A link that can no longer carry bytes ends every wait at once.

#include "comm/CancellationToken.h"

#include <QByteArray>
#include <QDateTime>

#include <QList>

class QIODevice;

class ExchangeLine
{
public:
    // A request every device may answer (a broadcast).
    static constexpr int kAnyDevice = -1;
    // A request no device answers (a sync write, say).
    static constexpr int kNoAnswer = -2;
    // An answer owed is awaited this many of its request's windows...
    static constexpr int kLateWindows = 4;
    // ...but at least this long, ms: an answer up to a second late never
    // answers another request, with room for a loaded line or relay.
    static constexpr qint64 kMinLateMs = 1500;
    // ...and at most this long, ms: the longest timeout a user can set would
    // otherwise hold a request for weeks.
    static constexpr qint64 kMaxLateMs = 2000;
    // The line is quiet once nothing arrived for this long, ms.
    static constexpr qint64 kQuietMs = 3;
    // The most bytes held between two reads of a wait: more than two of the
    // largest packets any framing takes, so a flood costs bounded memory.
    static constexpr qsizetype kMaxHeld = 160 * 1024;

    // How long after a wait that ended without its answer that answer may
    // still come, for a request whose window was `windowMs`.
    static qint64 lateSpan(qint64 windowMs);

    ExchangeLine();
    virtual ~ExchangeLine();
    ExchangeLine(const ExchangeLine &) = delete;
    ExchangeLine &operator=(const ExchangeLine &) = delete;

    // The link; not owned.
    QIODevice *device = nullptr;
    // Bytes read from the device and not yet consumed.
    QByteArray rxBuffer;
    CancellationToken *token = nullptr; // lent by the transport; not owned
    // Set when a wait found the link down; every wait then ends at once. A
    // request on a link that is up again clears it.
    bool linkLost = false;
    qint64 lastArrivalTime = 0; // wall-clock ms when bytes last arrived
    // The window of the last reply wait, ms: the framing sets it as the wait starts.
    qint64 replyWindow = 0;
    // The wall clock of the waits, in ms since the epoch. Tests and fuzzers
    // replace it to step time by hand.
    qint64 (*wallClock)() = &QDateTime::currentMSecsSinceEpoch;

    // The two token tests: whether the lent token is set or past its deadline,
    // and how long one blocking call may wait given `ms`.
    bool isCancelled() const;
    int remainingWait(int ms) const;

    // Whether the link reports that it can no longer carry bytes.
    bool isLinkDown() const;
    // Appends what the device has to rxBuffer, waiting up to waitMs for bytes
    // when none are pending. Returns whether bytes came. A link that can no
    // longer deliver sets linkLost instead of waiting. rxBuffer keeps at most
    // kMaxHeld bytes: the oldest go first.
    bool pullArrivals(int waitMs);

    // The two steps of one request whose answer comes from `address`
    // (kAnyDevice, kNoAnswer) with `answerSize` bytes (0: sizes of several
    // kinds). First its turn: an answer owed that could be taken for its
    // answer (from that device and of that size) is waited out, and what
    // arrived before the request is handed over as stray. A request that
    // repeats an unanswered one byte for byte does not wait (a late answer
    // answers the same question), but its own answer may then come after the
    // one it takes, so the next other request of that size to that device
    // waits for it.
    // COMM_OK; COMM_TX_FAIL when the link is down; COMM_CANCELLED.
    int takeTurn(const QByteArray &request, int address, qsizetype answerSize);
    // Then its bytes, which must leave within limitMs. COMM_OK; COMM_TX_FAIL
    // when the link did not take them (all) in time; COMM_CANCELLED.
    int writeRequest(const QByteArray &bytes, int limitMs);
    // After the wait for the answer of the last request ended without it
    // (time-out, corrupt answer, cancellation, the end of a broadcast's
    // listening): that answer may still come, up to the late span of
    // `windowMs` later.
    void markUnanswered(qint64 windowMs);
    // Whether the answer the last request took, one of the size it asks for,
    // may be the late answer of an earlier request of its device rather than
    // its own. (A refusal it took may be another's too; it fails either way.)
    bool lastAnswerUncertain() const;
    // Waits until nothing `address` owes can still come or be mistaken for
    // an answer (the late span, and the span after it that makes a request
    // uncertain), so that its next request's answer is certainly its own.
    // COMM_OK; COMM_TX_FAIL when the link went down; COMM_CANCELLED.
    int awaitCertainTurn(int address);
    // Reads the line, dropping what comes, until no answer owed can still
    // come; then nothing is owed. For whoever lets the line go for others.
    void awaitOwedAnswers();
    // A new link: nothing late can come on it.
    void forgetUnanswered();

protected:
    // Whether a device's refusal has one form that every request of it takes
    // as its answer (a protocol 2.0 status without data, a Modbus exception):
    // a late refusal may then answer a later request of any size, which
    // therefore waits for it as for an answer of its own size.
    bool refusalAnswersAnyRequest = false;

    // What arrived before a request, now in rxBuffer: the framing hands whole
    // packets on as traffic nobody asked for and drops the rest.
    virtual void handOverStray() = 0;

    // Told just before and right after arrived bytes are appended to rxBuffer.
    virtual void noteArrival(bool /*begins*/) {}
    // The native handle of the device (a serial port's, a socket's); -1 for
    // another kind of device or one that is not open.
    qintptr linkHandle() const;
    // Keeps rxBuffer within kMaxHeld, dropping the oldest bytes of a flood
    // (they answer nothing); true when it dropped any.
    bool boundHeld();
    // What the device holds, at most kMaxHeld.
    QByteArray readHeld();

private:
    // An answer a device owes: whose, of which size, until when it may come
    // (wall-clock ms), the request it answers and that request's window.
    struct Owed
    {
        int address = kNoAnswer;
        qsizetype answerSize = 0; // 0: of several sizes
        qint64 until = 0;
        QByteArray request;
        qint64 windowMs = 0;
        // Owed by a request that took an answer it could not be sure of: it
        // is waited for, but makes no later request uncertain in turn (a
        // device whose answer was lost would hold every request else).
        bool uncertainTake = false;
    };
    // Few at a time: an entry goes once it can neither come nor make a
    // request uncertain.
    QList<Owed> owed_;
    static constexpr qsizetype kMaxOwed = 64;
    // The request in flight, which the next markUnanswered is about.
    int lastAddress_ = kNoAnswer;
    QByteArray lastRequest_;
    qsizetype lastAnswerSize_ = 0;
    qint64 lastSentAt_ = 0;  // wall-clock ms when it took its turn
    // It went while an answer of its device was owed until a moment ago that
    // it could take: any such answer (its own may then still come), and one
    // of its own size (the answer it took may be another's).
    bool lastUncertain_ = false;
    bool lastUncertainOfSize_ = false;
    bool lastUnanswered_ = false;

    // Whether an owed answer could be taken for the answer of this request
    // (with `ofItsSize`, as an answer of the size it asks for, not as a refusal).
    // When an entry can neither come nor make a request uncertain any more.
    static qint64 forgottenAt(const Owed &o);
    bool couldAnswer(const Owed &o, int address, qsizetype answerSize, bool ofItsSize = false) const;
    // Until when an owed answer may come that the request could take; 0 when
    // none can. A repeat of an unanswered request is renewed.
    qint64 lateUntil(const QByteArray &request, int address, qsizetype answerSize, qint64 now);
    // Whether an answer this request could take (with `ofItsSize`, one of the
    // size it asks for) was owed until a moment ago by another request of its
    // device.
    bool owedAMomentAgo(const QByteArray &request, int address, qsizetype answerSize, qint64 now,
                        bool ofItsSize) const;
    // The last request took an answer it could not be sure of: its own may
    // still come, as if it had gone unanswered.
    void settleLastRequest();
    // Enters what `address` owes for `request` until `until`.
    void addOwed(int address, qsizetype answerSize, const QByteArray &request, qint64 until, qint64 windowMs,
                 bool uncertainTake);
    // Waits until `until` is past and the line is quiet, taking in what arrives.
    void awaitTurn(qint64 until);
    // Appends arrived bytes to rxBuffer, keeping at most kMaxHeld.
    void takeIn(const char *data, qint64 size);
    // Takes in what the device holds (readHeld).
    void takeInHeld();
    static bool linkGone(qintptr handle);
};
