// The status-packet receive path of both engines: one operation per input,
// answered by the input. Out-parameters sit in buffers of exactly the size
// asked for, so any read or write beyond them is caught by the sanitizer.
#include "FuzzLink.h"

#include "comm/CommResult.h"
#include "comm/QvxProtocol1.h"
#include "comm/QvxProtocol2.h"

#include <memory>
#include <vector>

namespace {

template <class Engine>
void prepare(Engine &engine, FuzzLink &link)
{
    engine.device = &link;
    engine.wallClock = &FuzzLink::clock;
    engine.extraLatency = 200; // room for a few hundred pieces per wait
}

void checkResults(const QList<QvxProtocol::BulkReadResult> &results, const QList<QvxProtocol::BulkReadParam> &ranges)
{
    FUZZ_CHECK(results.size() <= ranges.size());
    for (qsizetype i = 0; i < results.size(); ++i)
        FUZZ_CHECK(results[i].data.size() <= ranges[i].length);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ensureApplication();
    if (size < 4)
        return 0;
    const int operation = data[0] % 11;
    const int piece = data[1] % 64 + 1;
    const ushort length = data[2] % 40;
    const uchar id = data[3] % 4;
    FuzzLink link(QByteArray(reinterpret_cast<const char *>(data + 4), static_cast<qsizetype>(size - 4)), piece);
    std::unique_ptr<uchar[]> buffer(new uchar[length + 1]()); // +1: never zero-sized
    uchar error = 0;
    ushort model = 0;
    uchar firmware = 0;
    const QList<QvxProtocol::BulkReadParam> ranges{{id, 132, length}, {id + 1, 0, length / 2}, {id + 2, 64, 1}};
    QList<QvxProtocol::BulkReadResult> results;

    if (operation < 8) {
        QvxProtocol2 engine;
        prepare(engine, link);
        switch (operation) {
        case 0: engine.ping(id, &model, &firmware, &error); break;
        case 1: engine.readTxRx(id, 132, length, buffer.get(), &error); break;
        case 2: engine.writeTxRx(id, 64, length, buffer.get(), &error); break;
        case 3: engine.broadcastPing(100); break;
        case 4: engine.bulkRead(ranges, &results); checkResults(results, ranges); break;
        case 5: engine.fastBulkRead(ranges, &results); checkResults(results, ranges); break;
        case 6: {
            QByteArray out;
            engine.dumpReadData(id, 16, length, 3, &out);
            break;
        }
        default: engine.factoryReset(id); break;
        }
        FUZZ_CHECK(!engine.inTransaction);
    } else {
        QvxProtocol1 engine;
        prepare(engine, link);
        switch (operation) {
        case 8: engine.ping(id, &model, &firmware, &error); break;
        case 9: engine.readTxRx(id, 36, length, buffer.get(), &error); break;
        default: engine.writeTxRx(id, 30, length, buffer.get(), &error); break;
        }
        FUZZ_CHECK(!engine.inTransaction);
    }
    return 0;
}
