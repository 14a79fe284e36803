#include "log_capture.h"

#include <fstream>
#include <iterator>

#include "app/process_state.h"
#include "platform/file.h"

namespace {
constexpr std::size_t kTimePrefix = 14;  // "hh:mm:ss.mmm  "
}  // namespace

LogCapture::LogCapture() {
  processState.logFile = platform::CreateFileForWrite(dir_.File("vistrel.log"), platform::ShareMode::Read);
}

LogCapture::~LogCapture() {
  platform::CloseFile(processState.logFile);
  processState.logFile = platform::kInvalidFile;
}

std::vector<std::string> LogCapture::Messages() const {
  std::ifstream in(dir_.path() / "vistrel.log", std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> messages;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    const std::string line = text.substr(start, end - start);
    messages.push_back(line.size() >= kTimePrefix ? line.substr(kTimePrefix) : line);
  }
  return messages;
}
