// vistrel's log: optional, next to the executable, one line per call, written at once.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

#include "platform/clock.h"
#include "platform/text.h"

// Opens "vistrel.log" in the executable's folder into processState.logFile, replacing an earlier
// log. Without success there is simply no log.
void OpenLog();

// The log's path for an executable path: everything after its last backslash replaced by
// "vistrel.log". Empty when the path has no backslash.
std::u16string LogPathFor(const std::u16string& executablePath);

// One line: local time "%02d:%02d:%02d.%03d  ", the message (at most 495 bytes), CR LF.
// Does nothing when no log is open. Any thread.
void LogLine(const char* format, ...) VISTREL_PRINTF_FORMAT(1, 2);

inline constexpr std::size_t kLogLineBuffer = 512;

// Formats one whole line into buffer and returns its length. Exposed for tests.
std::size_t FormatLogLine(char (&buffer)[kLogLineBuffer], const platform::LocalTime& time,
                          const char* format, va_list args);

// The 32-bit value of an HRESULT for "0x%08lX", whatever the width of long.
inline unsigned long HresultBits(long hr) { return static_cast<unsigned long>(static_cast<unsigned int>(hr)); }
