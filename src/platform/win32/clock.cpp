#include "platform/clock.h"
#include "platform/win32/win32.h"

namespace platform {

std::uint32_t SystemTickCount() { return ::GetTickCount(); }

LocalTime SystemLocalTime() {
  SYSTEMTIME st;
  ::GetLocalTime(&st);
  LocalTime out;
  out.year = st.wYear;
  out.month = st.wMonth;
  out.day = st.wDay;
  out.hour = st.wHour;
  out.minute = st.wMinute;
  out.second = st.wSecond;
  out.milliseconds = st.wMilliseconds;
  return out;
}

}  // namespace platform
