#include "log_capture.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "app/process_state.h"
#include "platform/file.h"
#include "platform/text.h"

namespace {

// A path for the C++ library: forward slashes work on every system.
std::string StreamPath(const std::u16string& path) {
  std::string narrow = platform::Utf8FromUtf16(path);
  std::replace(narrow.begin(), narrow.end(), '\\', '/');
  return narrow;
}

constexpr std::size_t kTimePrefix = 14;  // "hh:mm:ss.mmm  "

}  // namespace

LogCapture::LogCapture(const char* fileName) {
  const std::u16string exe = platform::ExecutablePath();
  path_ = exe.substr(0, exe.rfind(u'\\') + 1) + platform::Utf16FromUtf8(fileName);
  processState.logFile = platform::CreateFileForWrite(path_, platform::ShareMode::Read);
}

LogCapture::~LogCapture() {
  platform::CloseFile(processState.logFile);
  processState.logFile = platform::kInvalidFile;
  platform::RemoveFile(path_);
}

std::vector<std::string> LogCapture::Messages() const {
  std::ifstream in(StreamPath(path_), std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> messages;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    const std::string line = text.substr(start, end - start);
    messages.push_back(line.size() >= kTimePrefix ? line.substr(kTimePrefix) : line);
  }
  return messages;
}
