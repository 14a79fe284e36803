// Golden bytes written readably: "00 01 'mvhd' z10" is 00 01, the four letters, ten zero bytes.
#pragma once

#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

inline std::vector<std::uint8_t> Hex(const std::string& text) {
  std::vector<std::uint8_t> out;
  std::istringstream in(text);
  std::string token;
  while (in >> token) {
    if (token.size() >= 2 && token.front() == '\'' && token.back() == '\'') {
      for (std::size_t i = 1; i + 1 < token.size(); ++i) out.push_back(static_cast<std::uint8_t>(token[i]));
    } else if (token[0] == 'z') {
      out.resize(out.size() + std::stoul(token.substr(1)), 0);
    } else if (token.size() == 2) {
      out.push_back(static_cast<std::uint8_t>(std::stoul(token, nullptr, 16)));
    } else {
      throw std::invalid_argument("bad token " + token);
    }
  }
  return out;
}

inline std::string HexText(const std::vector<std::uint8_t>& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (std::uint8_t b : bytes) {
    if (!s.empty()) s += ' ';
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}
