// Playing a file the way a player's browser or launcher would: Chromium's <video>, headless.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace testing_support {

struct BrowserPlayback {
  bool ran = false;           // Chromium started and the page reported back
  bool error = false;         // the element reported a media error
  std::string message;        // the page's report, for the test's failure text
  std::int64_t audioBytes = 0;  // bytes of sound the element decoded
  std::int64_t videoBytes = 0;  // bytes of picture the element decoded
  double duration = 0;
};

// Whether Chromium is on this machine (/usr/bin/chromium or CHROMIUM on the path).
bool BrowserAvailable();

// Loads file into a <video> element of a page in headless Chromium and reads back what it decoded
// once it can play (or failed).
BrowserPlayback PlayInBrowser(const std::filesystem::path& file);

}  // namespace testing_support
