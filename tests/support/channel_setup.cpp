#include "support/channel_setup.h"

#include <climits>

#include "frame/text.h"
#include "platform/platform.h"
#include "qel32.h"
#include "driver/connection_use.h"

namespace qel::test {

void stageConnect(ChannelRecord* record, uint16_t port, int32_t afterConnect, char protocol) {
  copyText(record->serverName, "127.0.0.1", kServerNameCap);
  Connection* connection = useConnection(record);
  connection->remotePort = port;
  connection->ringRead = connection->ringWrite = 0;
  record->step.nextState = 101;
  record->step.afterConnectState = afterConnect;
  record->step.dueTime = record->step.deadline = 0;
  record->protocol = protocol;
}

int32_t driveToEnd(int32_t channel, int limitMs) {
  uint32_t start = plat::tickCount();
  for (;;) {
    int32_t rc = qelDriver(channel);
    if (rc <= 0) return rc;
    if (static_cast<int32_t>(plat::tickCount() - start) > limitMs) return INT32_MIN;
    plat::yield();
  }
}

int32_t connectChannel(int32_t channel, uint16_t port, char protocol) {
  ChannelRecord* record = channelRecord(channel);
  if (record == nullptr) return INT32_MIN;
  stageConnect(record, port, 0, protocol);
  return driveToEnd(channel);
}

}  // namespace qel::test
