// Captures vistrel's log for a test: opens a log file in a temporary folder into
// processState.logFile and reads the messages back.
#pragma once

#include <string>
#include <vector>

#include "support/temp_dir.h"

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // The messages so far, without the time prefix and the CR LF.
  std::vector<std::string> Messages() const;

 private:
  testing_support::TempDir dir_;
};
