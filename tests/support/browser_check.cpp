#include "support/browser_check.h"

#include <fstream>
#include <regex>

#include "support/media_check.h"

namespace testing_support {

namespace {

std::string Browser() {
  const char* named = std::getenv("CHROMIUM");
  if (named && *named) return named;
  return "/usr/bin/chromium";
}

// The page waits until the element can play through and has decoded both kinds of data, or failed,
// and writes one line the test reads from the dumped document.
constexpr const char* kPage = R"(<html><body><video id="v" muted autoplay></video><pre id="out">pending</pre>
<script>
const v = document.getElementById('v');
function report(tag) {
  document.getElementById('out').textContent = 'report ' + tag + ' error=' + (v.error ? v.error.code : 0) +
      ' audio=' + v.webkitAudioDecodedByteCount + ' video=' + v.webkitVideoDecodedByteCount +
      ' duration=' + v.duration;
}
for (const e of ['canplay', 'playing', 'timeupdate', 'ended', 'error']) v.addEventListener(e, () => report(e));
v.src = 'FILE';
</script></body></html>)";

}  // namespace

bool BrowserAvailable() {
  std::error_code ignored;
  return std::filesystem::exists(Browser(), ignored);
}

BrowserPlayback PlayInBrowser(const std::filesystem::path& file) {
  BrowserPlayback playback;
  const std::filesystem::path page = file.parent_path() / (file.filename().string() + ".play.html");
  {
    std::string text = kPage;
    text.replace(text.find("FILE"), 4, file.filename().string());
    std::ofstream(page) << text;
  }
  const CommandResult run = RunCommand(
      "timeout 120 " + Quote(Browser()) +
      " --headless=new --no-sandbox --disable-gpu --no-first-run --autoplay-policy=no-user-gesture-required"
      " --allow-file-access-from-files --virtual-time-budget=10000 --dump-dom " +
      Quote("file://" + std::filesystem::absolute(page).string()) + " 2>/dev/null");
  std::error_code ignored;
  std::filesystem::remove(page, ignored);
  std::smatch m;
  const std::regex line(R"(report (\w+) error=(\d+) audio=(\d+) video=(\d+) duration=([0-9.]+|NaN))");
  if (!std::regex_search(run.output, m, line)) {
    playback.message = run.output.substr(0, 400);
    return playback;
  }
  playback.ran = true;
  playback.message = m.str(0);
  playback.error = m.str(2) != "0";
  playback.audioBytes = std::stoll(m.str(3));
  playback.videoBytes = std::stoll(m.str(4));
  playback.duration = m.str(5) == "NaN" ? 0 : std::stod(m.str(5));
  return playback;
}

}  // namespace testing_support
