// vistrel's command line: "--probe" [anything] or "--run" pid [anything].
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class Mode { Invalid, Probe, Run };

struct CommandLine {
  Mode mode = Mode::Invalid;
  std::uint32_t hostPid = 0;
};

// args[0] is the program's path and is not looked at. Option words are compared whole and
// case-sensitively.
CommandLine ParseCommandLine(const std::vector<std::u16string>& args);

// The standard wide-string to unsigned-long conversion in base 10, for a 32-bit unsigned long:
// leading white space and a sign are accepted, conversion stops at the first non-digit, no digits
// give 0, a value that does not fit gives 4294967295, and a minus sign negates modulo 2^32.
std::uint32_t WideToUnsigned32(const std::u16string& text);
