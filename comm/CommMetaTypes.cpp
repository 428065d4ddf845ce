#include "comm/CommMetaTypes.h"

#include "comm/QvxComm.h"
#include "comm/QvxCommRecords.h"
#include "comm/QvxProtocol.h"
#include "comm/QvxRecords.h"

#include <mutex>

void registerCommMetaTypes()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // The structures declared as meta-types carry their names already; the
        // containers get theirs as registered aliases.
        qRegisterMetaType<QvxProtocol::PacketItem>();
        qRegisterMetaType<qvx::MultiAgingOption>();
        qRegisterMetaType<qvx::MotionAgingOption>();
        qRegisterMetaType<qvx::HandPresetData>();
        qRegisterMetaType<qvx::MultiGraphReadParams>("qvx::MultiGraphReadParams");
        qRegisterMetaType<qvx::MultiGraphReadResults>("qvx::MultiGraphReadResults");
        qRegisterMetaType<QvxCommRecords::AgingDatas>("QvxComm::AgingDatas");
        qRegisterMetaType<QvxCommRecords::MultiAgingParams>("QvxComm::MultiAgingParams");
        qRegisterMetaType<QvxComm::State>();
        qRegisterMetaType<QvxComm::DumpType>();
    });
}
