#include "log/log.h"

#include <cstdio>

#include "app/process_state.h"
#include "platform/file.h"

std::u16string LogPathFor(const std::u16string& executablePath) {
  const std::size_t slash = executablePath.rfind(u'\\');
  if (slash == std::u16string::npos) return {};
  return executablePath.substr(0, slash + 1) + u"vistrel.log";
}

void OpenLog() {
  const std::u16string path = LogPathFor(platform::ExecutablePath());
  if (path.empty()) return;
  processState.logFile = platform::CreateFileForWrite(path, platform::ShareMode::Read);
}

std::size_t FormatLogLine(char (&buffer)[kLogLineBuffer], const platform::LocalTime& time,
                          const char* format, va_list args) {
  int n = std::snprintf(buffer, kLogLineBuffer, "%02d:%02d:%02d.%03d  ", time.hour, time.minute,
                        time.second, time.milliseconds);
  if (n < 0) n = 0;
  auto prefix = static_cast<std::size_t>(n);
  if (prefix > kLogLineBuffer - 3) prefix = kLogLineBuffer - 3;
  // Room for the message: the buffer less the prefix and the two bytes kept for CR LF.
  const std::size_t room = kLogLineBuffer - 2 - prefix;
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
  int m = std::vsnprintf(buffer + prefix, room, format, args);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
  std::size_t message = 0;
  if (m >= 0 && static_cast<std::size_t>(m) < room) {
    message = static_cast<std::size_t>(m);
  } else {
    // Cut or failed: whatever stands in the buffer after the prefix.
    while (message < room - 1 && buffer[prefix + message] != 0) ++message;
  }
  buffer[prefix + message] = '\r';
  buffer[prefix + message + 1] = '\n';
  return prefix + message + 2;
}

void LogLine(const char* format, ...) {
  const platform::FileHandle file = processState.logFile;
  if (file == platform::kInvalidFile) return;
  char buffer[kLogLineBuffer];
  va_list args;
  va_start(args, format);
  const std::size_t n = FormatLogLine(buffer, platform::LocalTimeNow(), format, args);
  va_end(args);
  platform::WriteToFile(file, buffer, n);
}
