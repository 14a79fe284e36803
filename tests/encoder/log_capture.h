// Captures vistrel's log for a test: opens a log file into processState.logFile and reads the
// messages back.
#pragma once

#include <string>
#include <vector>

class LogCapture {
 public:
  // A file of that name in the test executable's folder.
  explicit LogCapture(const char* fileName);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // The messages so far, without the time prefix and the CR LF.
  std::vector<std::string> Messages() const;

 private:
  std::u16string path_;
};
