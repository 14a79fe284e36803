// Conversions between the UTF-16 strings of the interfaces and 8-bit text.
#pragma once

#include <string>

// printf-style checking of format strings (mingw's C99 printf is the GNU flavour).
#if defined(__MINGW32__)
#define VISTREL_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define VISTREL_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#endif

namespace platform {

std::string Utf8FromUtf16(const std::u16string& text);
std::u16string Utf16FromUtf8(const std::string& text);

// printf-style formatting into a buffer of 64 units, cut to fit (63 units and the terminator),
// as the system's object and file names are made. The format must produce ASCII.
std::u16string FormatName64(const char* format, ...) VISTREL_PRINTF_FORMAT(1, 2);

}  // namespace platform
