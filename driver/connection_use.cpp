#include "driver/connection_use.h"

#include <iterator>
#include <new>

#include "frame/errors.h"
#include "frame/registrations.h"
#include "frame/settings.h"
#include "qel32.h"
#include "transport/readiness.h"
#include "transport/receive.h"
#include "transport/output.h"
#include "transport/replies.h"
#include "transport/stream.h"

namespace qel {
namespace {

// At release: the buffers, the TLS session (without a word to the peer)
// and, when the library cleans up, the socket, then the connection itself.
void releaseConnection(ChannelRecord* record) {
  Connection* connection = record->connection;
  if (connection == nullptr) return;
  plat::memoryFree(connection->ringBuffer);
  plat::memoryFree(connection->outputBuffer);
  dropTlsSession(connection);
  if (connection->socketOpen && settings.cleanupOnRelease != 0) {
    plat::socketClose(connection->socket, 0);
    connection->socketOpen = false;
  }
  connection->~Connection();
  plat::memoryFree(connection);
  record->connection = nullptr;
}
const ReleaseHookRegistration releaseRegistered(releaseConnection);

const StatisticEntry kStatistics[] = {
    {QEL_STAT_CONNECTION,
     [](const ChannelRecord* record) -> int32_t {
       if (readinessTest(record->connection, plat::Readiness::error)) return kErrConnectFailed;
       return readinessTest(record->connection, plat::Readiness::writable) ? 1 : 0;
     }},
    {QEL_STAT_SOCKET_HANDLE,
     [](const ChannelRecord* record) {
       return record->connection != nullptr ? static_cast<int32_t>(record->connection->socket) : 0;
     }},
};
const StatisticRegistration statisticsRegistered(kStatistics, static_cast<int32_t>(std::size(kStatistics)));

}  // namespace

Connection* useConnection(ChannelRecord* record) {
  if (record->connection != nullptr) return record->connection;
  void* memory = plat::memoryAllocate(sizeof(Connection));
  if (memory == nullptr) return nullptr;
  auto* connection = new (memory) Connection();
  connection->log = &record->log;
  connection->tls = &record->tls;
  record->connection = connection;
  return connection;
}

Connection* adoptSocket(ChannelRecord* record, plat::SocketHandle handle) {
  Connection* connection = useConnection(record);
  if (connection == nullptr) return nullptr;
  adoptSocket(connection, handle);
  int32_t channel = record->channelNumber;
  if (channel >= 0 && channel < kMaxChannels) channelTable[channel].socket = handle;
  return connection;
}

int32_t readSmtpReply(ChannelRecord* record) {
  return readSmtpReply(record->connection, record->texts.replyText, record->texts.replyCode, record->texts.lastReply);
}

int32_t readPop3Reply(ChannelRecord* record) {
  record->step.deadline = 0;
  return readPop3Reply(record->connection, record->texts.replyText, record->texts.replyCode, record->texts.lastReply);
}

}  // namespace qel

using namespace qel;

extern "C" QEL_API int32_t QEL_CALL qelConnectError(int32_t chan) {
  ChannelRecord* record = nullptr;
  int32_t rc = checkChannel(chan, &record);
  if (rc != 0) return rc;
  return record->connection != nullptr ? record->connection->connectError : 0;
}
