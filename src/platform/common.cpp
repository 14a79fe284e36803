// The parts of the platform layer that are the same on every system.
#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/text.h"

namespace platform {

namespace {
std::atomic<std::uint32_t (*)()> tickOverride{nullptr};
std::atomic<LocalTime (*)()> localOverride{nullptr};
}  // namespace

std::uint32_t TickCount() {
  auto tick = tickOverride.load(std::memory_order_acquire);
  return tick ? tick() : SystemTickCount();
}

LocalTime LocalTimeNow() {
  auto local = localOverride.load(std::memory_order_acquire);
  return local ? local() : SystemLocalTime();
}

void SetClockForTesting(std::uint32_t (*tick)(), LocalTime (*local)()) {
  tickOverride.store(tick, std::memory_order_release);
  localOverride.store(local, std::memory_order_release);
}

std::string Utf8FromUtf16(const std::u16string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // a lone surrogate
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string Utf16FromUtf8(const std::string& text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    std::uint32_t c = 0xFFFD;
    std::size_t extra = 0;
    if (b < 0x80) {
      c = b;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F;
      extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F;
      extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07;
      extra = 3;
    }
    ++i;
    for (std::size_t k = 0; k < extra; ++k, ++i) {
      if (i >= text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
        c = 0xFFFD;
        break;
      }
      c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
    }
    if (c >= 0x10000 && c <= 0x10FFFF) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c > 0x10FFFF ? 0xFFFD : c);
    }
  }
  return out;
}

bool PlainFileName(const std::u16string& name) {
  if (name.empty() || name == u"." || name == u"..") return false;
  return name.find_first_of(std::u16string(u"\\/\0", 3)) == std::u16string::npos;
}

std::u16string FormatName64(const char* format, ...) {
  char buffer[64];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  std::u16string out;
  if (n < 0) return out;
  for (const char* p = buffer; *p; ++p) out += static_cast<char16_t>(static_cast<unsigned char>(*p));
  return out;
}

}  // namespace platform
