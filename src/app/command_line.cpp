#include "app/command_line.h"

std::uint32_t WideToUnsigned32(const std::u16string& text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
    negative = text[i] == u'-';
    ++i;
  }
  std::uint64_t value = 0;
  bool overflow = false;
  bool digits = false;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    digits = true;
    value = value * 10 + static_cast<std::uint64_t>(text[i] - u'0');
    if (value > 0xFFFFFFFFull) {
      overflow = true;
      value = 0xFFFFFFFFull;  // keep going only to consume the digits
    }
  }
  if (!digits) return 0;
  if (overflow) return 0xFFFFFFFFu;
  const auto v = static_cast<std::uint32_t>(value);
  return negative ? static_cast<std::uint32_t>(0u - v) : v;
}

CommandLine ParseCommandLine(const std::vector<std::u16string>& args) {
  CommandLine line;
  if (args.size() >= 2 && args[1] == u"--probe") {
    line.mode = Mode::Probe;
  } else if (args.size() >= 3 && args[1] == u"--run") {
    line.mode = Mode::Run;
    line.hostPid = WideToUnsigned32(args[2]);
  }
  return line;
}
