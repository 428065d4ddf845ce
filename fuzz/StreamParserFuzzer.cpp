// The stream parser of one engine (FUZZ_PROTOCOL 1 or 2), fed the input in
// pieces. Every packet it emits must pass its checks, and the buffer never holds
// more than one incomplete packet, however long the noise.
#include "FuzzLink.h"

#include "comm/QvxProtocol1.h"
#include "comm/QvxProtocol2.h"

namespace {

template <class Engine>
struct Exposed : Engine
{
    using Engine::onInterByteTimeout;
};

#if FUZZ_PROTOCOL == 2
bool validProtocol2(const QByteArray &p)
{
    const int len = static_cast<uchar>(p.at(5)) | (static_cast<uchar>(p.at(6)) << 8);
    const ushort crc = static_cast<uchar>(p.at(p.size() - 2)) | (static_cast<uchar>(p.at(p.size() - 1)) << 8);
    return p.startsWith(QByteArrayLiteral("\xFF\xFF\xFD\x00")) && p.size() == len + 7 &&
           QvxProtocol2::updateCrc(0, p, static_cast<ushort>(p.size() - 2)) == crc;
}

#else
bool validProtocol1(const QByteArray &p)
{
    unsigned sum = 0;
    for (qsizetype i = 2; i < p.size() - 1; ++i)
        sum += static_cast<uchar>(p.at(i));
    return p.startsWith(QByteArrayLiteral("\xFF\xFF")) && p.size() == static_cast<uchar>(p.at(3)) + 4 &&
           static_cast<uchar>(~sum) == static_cast<uchar>(p.at(p.size() - 1));
}

#endif

template <class Engine>
void parse(const QByteArray &input, int piece, bool (*valid)(const QByteArray &), qsizetype largestPacket)
{
    FuzzLink link(input, piece);
    Exposed<Engine> engine;
    engine.device = &link;
    engine.wallClock = &FuzzLink::clock;
    QObject::connect(&engine, &QvxProtocol::outputPacket, [&](const QvxProtocol::PacketItem &item) {
        FUZZ_CHECK(item.direction == 1);
        FUZZ_CHECK(valid(item.data));
    });
    while (link.arrive()) {
        engine.onReadyRead();
        FUZZ_CHECK(engine.rxBuffer.size() < largestPacket);
    }
    engine.onInterByteTimeout();
    FUZZ_CHECK(engine.rxBuffer.isEmpty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ensureApplication();
    if (size < 1)
        return 0;
    const QByteArray input(reinterpret_cast<const char *>(data + 1), static_cast<qsizetype>(size - 1));
    const int piece = data[0] % 64 + 1;
#if FUZZ_PROTOCOL == 1
    parse<QvxProtocol1>(input, piece, &validProtocol1, 254);
#else
    parse<QvxProtocol2>(input, piece, &validProtocol2, 61440);
#endif
    return 0;
}
