#include "platform/Clock.hpp"

#include <cmath>

#include "platform/Platform.hpp"

namespace qm {
namespace {

class SystemClock : public IClock {
 public:
  double Now() override { return platform::SystemNow(); }
  uint32_t TickCount() override { return platform::SystemTickCount(); }
};

SystemClock gSystemClock;
std::atomic<IClock*> gClock{nullptr};

// Days from 1 March of year 0 (proleptic Gregorian), the usual civil-date trick.
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;  // days since 1970-01-01
}

void CivilFromDays(long long z, int& y, int& m, int& d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(static_cast<long long>(yoe) + era * 400 + (m <= 2));
}

const long long kEpoch1899 = DaysFromCivil(1899, 12, 30);

}  // namespace

IClock& Clock() {
  IClock* c = gClock.load(std::memory_order_acquire);
  return c ? *c : gSystemClock;
}

void SetClock(IClock* clock) { gClock.store(clock, std::memory_order_release); }

double EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int millisecond) {
  const double days =
      static_cast<double>(DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kEpoch1899);
  const double ms = ((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond;
  return days + ms / 86400000.0;
}

DateTimeParts DecodeDateTime(double t) {
  DateTimeParts p{};
  long long day = static_cast<long long>(std::floor(t));
  long long ms = std::llround((t - std::floor(t)) * 86400000.0);
  if (ms >= 86400000) {
    ms -= 86400000;
    ++day;
  }
  CivilFromDays(day + kEpoch1899, p.year, p.month, p.day);
  p.hour = static_cast<int>(ms / 3600000);
  p.minute = static_cast<int>(ms / 60000 % 60);
  p.second = static_cast<int>(ms / 1000 % 60);
  p.millisecond = static_cast<int>(ms % 1000);
  return p;
}

uint32_t MillisecondsOf(double t) {
  const double frac = t - std::trunc(t);
  const long long ms = std::llround(std::fabs(frac) * 86400000.0);
  return static_cast<uint32_t>(ms);
}

}  // namespace qm
