#include "frame/date_line.h"

namespace qel {
namespace {

constexpr const char* kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int clampIndex(int value, int low, int high) { return value < low ? low : (value > high ? high : value); }

}  // namespace

int32_t formatZone(int32_t offset, char* buffer) {
  char sign = '+';
  uint32_t value = static_cast<uint32_t>(offset);
  if (offset < 0) {
    sign = '-';
    value = 0u - value;
  }
  buffer[0] = sign;
  for (int i = 4; i >= 1; --i) {
    buffer[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  buffer[5] = '\0';
  return 5;
}

int32_t formatDateLineAt(const plat::LocalTime& time, char* buffer, int32_t room, bool twoDigitHour) {
  // Zones that are not whole hours east or west (+0530, -0330, +0545) keep
  // their minutes.
  int minutes = time.utcOffsetMinutes;
  int magnitude = minutes < 0 ? -minutes : minutes;
  int32_t zone = (magnitude / 60) * 100 + magnitude % 60;
  if (minutes < 0) zone = -zone;
  char zoneText[6];
  formatZone(zone, zoneText);
  return plat::formatText(buffer, room,
                          twoDigitHour ? "Date: %s, %d %s %d %02d:%02d:%02d %s" : "Date: %s, %d %s %d %d:%02d:%02d %s",
                          kDayNames[clampIndex(time.dayOfWeek, 0, 6)], time.day,
                          kMonthNames[clampIndex(time.month, 1, 12) - 1], time.year, time.hour, time.minute,
                          time.second, zoneText);
}

int32_t formatDateLine(char* buffer, int32_t room, bool twoDigitHour) {
  plat::LocalTime now{};
  plat::localTime(&now);
  return formatDateLineAt(now, buffer, room, twoDigitHour);
}

}  // namespace qel
