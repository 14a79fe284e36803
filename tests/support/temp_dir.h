// A fresh folder under the system's temporary folder, removed with everything in it afterwards.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/process.h"

namespace testing_support {

class TempDir {
 public:
  TempDir() {
    static std::atomic<int> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = std::filesystem::temp_directory_path() /
            ("vistrel_test_" + std::to_string(platform::CurrentProcessId()) + "_" +
             std::to_string(stamp) + "_" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

  // The folder in the system's own form: UTF-16 with backslashes.
  std::u16string Folder() const { return SystemPath(path_); }
  std::u16string File(const std::string& name) const { return SystemPath(path_ / name); }

  static std::u16string SystemPath(const std::filesystem::path& p) {
    std::u16string out = p.u16string();
    for (char16_t& c : out) {
      if (c == u'/') c = u'\\';
    }
    return out;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace testing_support
