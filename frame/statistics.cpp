// qelStatistics: counters, codes and version numbers of a channel. What
// the connection holds is served by driver/connection_use.cpp.
#include "frame/channel.h"
#include "frame/errors.h"
#include "frame/registrations.h"
#include "qel32.h"

using namespace qel;

extern "C" QEL_API int32_t QEL_CALL qelStatistics(int32_t chan, int32_t index) {
  ChannelRecord* record = nullptr;
  int32_t rc = checkChannel(chan, &record);
  if (rc != 0) return rc;
  switch (index) {
    case QEL_STAT_STATE_COUNT: return record->step.stateCount;
    case QEL_STAT_REPLY_CODE: return record->texts.replyCode;
    case QEL_STAT_SOCKET_CODE: return record->step.lastSocketCode;
    case QEL_STAT_MESSAGE_BYTES_READ: return record->counts.messageBytesRead;
    case QEL_STAT_ATTACH_BYTES_READ: return record->counts.attachBytesRead;
    case QEL_STAT_BYTES_READ: {
      int32_t sum = record->counts.messageBytesRead;
      addCount(sum, record->counts.attachBytesRead);
      return sum;
    }
    case QEL_STAT_MESSAGE_BYTES_SENT: return record->counts.messageBytesSent;
    case QEL_STAT_ATTACH_BYTES_SENT: return record->counts.attachBytesSent;
    case QEL_STAT_BYTES_SENT: {
      int32_t sum = record->counts.messageBytesSent;
      addCount(sum, record->counts.attachBytesSent);
      return sum;
    }
    case QEL_STAT_VERSION: return kVersionWord;
    case QEL_STAT_BUILD: return kBuildNumber;
    default: {
      // The statistics the connection and the protocols serve.
      Statistic read = findStatistic(index);
      return read != nullptr ? read(record) : kIndexNotServed;
    }
  }
}
