// qelStatistics: counters, codes and version numbers of a channel; and
// qelConnectError, the reason behind a failed connection attempt.
#include "frame/channel.h"
#include "frame/errors.h"
#include "frame/registrations.h"
#include "frame/socket_state.h"
#include "qel32.h"

using namespace qel;

extern "C" QEL_API int32_t QEL_CALL qelStatistics(int32_t chan, int32_t index) {
  ChannelRecord* record = nullptr;
  int32_t rc = checkChannel(chan, &record);
  if (rc != 0) return rc;
  switch (index) {
    case QEL_STAT_STATE_COUNT: return record->stateCount;
    case QEL_STAT_REPLY_CODE: return record->replyCode;
    case QEL_STAT_SOCKET_CODE: return record->lastSocketCode;
    case QEL_STAT_MESSAGE_BYTES_READ: return record->messageBytesRead;
    case QEL_STAT_ATTACH_BYTES_READ: return record->attachBytesRead;
    case QEL_STAT_BYTES_READ: {
      int32_t sum = record->messageBytesRead;
      addCount(sum, record->attachBytesRead);
      return sum;
    }
    case QEL_STAT_MESSAGE_BYTES_SENT: return record->messageBytesSent;
    case QEL_STAT_ATTACH_BYTES_SENT: return record->attachBytesSent;
    case QEL_STAT_BYTES_SENT: {
      int32_t sum = record->messageBytesSent;
      addCount(sum, record->attachBytesSent);
      return sum;
    }
    case QEL_STAT_VERSION: return kVersionWord;
    case QEL_STAT_CONNECTION:
      if (readinessTest(record, plat::Readiness::error)) return kErrConnectFailed;
      return readinessTest(record, plat::Readiness::writable) ? 1 : 0;
    case QEL_STAT_BUILD: return kBuildNumber;
    case QEL_STAT_SOCKET_HANDLE: return static_cast<int32_t>(record->socket);
    default: {
      // The statistics of the protocols' own fields.
      Statistic read = findStatistic(index);
      return read != nullptr ? read(record) : kIndexNotServed;
    }
  }
}

extern "C" QEL_API int32_t QEL_CALL qelConnectError(int32_t chan) {
  ChannelRecord* record = nullptr;
  int32_t rc = checkChannel(chan, &record);
  if (rc != 0) return rc;
  return record->connectError;
}
