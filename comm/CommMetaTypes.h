#pragma once

// Registers the bus layer's signal value types with the meta-type system under
// their published names ("QvxProtocol::PacketItem", "qvx::MultiGraphReadParams",
// "QvxComm::AgingDatas", ...). Safe to call any number of times, from any thread;
// every engine calls it on construction.
void registerCommMetaTypes();
