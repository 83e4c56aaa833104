#include "toolbox/format.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace zyp::tools {
namespace {

bool is_flag(char c) { return std::strchr("-+ #0", c) != nullptr && c != '\0'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Skips "hh", "h", "ll" or "l" at `p`; true when one was there.
bool skip_length(const char*& p) {
  if ((p[0] == 'h' && p[1] == 'h') || (p[0] == 'l' && p[1] == 'l')) {
    p += 2;
    return true;
  }
  if (*p == 'h' || *p == 'l') {
    ++p;
    return true;
  }
  return false;
}

bool is_integer_conversion(char c) { return c != '\0' && std::strchr("diuxXo", c) != nullptr; }
bool is_plain_conversion(char c) { return c != '\0' && std::strchr("csp%", c) != nullptr; }

// The length of the supported conversion starting at spec[0] == '%', or 0.
size_t conversion_length(const char* spec) {
  const char* p = spec + 1;
  while (is_flag(*p)) ++p;
  if (*p == '*') {
    ++p;
  } else {
    while (is_digit(*p)) ++p;
  }
  if (*p == '.') {
    ++p;
    if (*p == '*') {
      ++p;
    } else {
      while (is_digit(*p)) ++p;
    }
  }
  bool sized = skip_length(p);
  // A length on c or s would mean wide characters; p and % take none.
  bool supported = is_integer_conversion(*p) || (!sized && is_plain_conversion(*p));
  return supported ? static_cast<size_t>(p - spec) + 1 : 0;
}

}  // namespace

std::string supported_format(const char* format) {
  std::string out;
  if (!format) return out;
  for (const char* p = format; *p;) {
    if (*p != '%') {
      out += *p++;
      continue;
    }
    size_t length = conversion_length(p);
    if (length == 0) {
      out += "%%";  // printed as it stands; the characters after it follow as text
      ++p;
      continue;
    }
    out.append(p, length);
    p += length;
  }
  return out;
}

std::string format_text(const char* format, va_list args) {
  std::string safe = supported_format(format);
  va_list probe;
  va_copy(probe, args);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  int needed = std::vsnprintf(nullptr, 0, safe.c_str(), probe);
  va_end(probe);
  if (needed <= 0) return {};
  std::vector<char> text(static_cast<size_t>(needed) + 1);
  std::vsnprintf(text.data(), text.size(), safe.c_str(), args);
#pragma GCC diagnostic pop
  return std::string(text.data(), static_cast<size_t>(needed));
}

void format_into(char* buffer, size_t size, const char* format, va_list args) {
  if (!buffer || size == 0) return;
  std::string safe = supported_format(format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  if (std::vsnprintf(buffer, size, safe.c_str(), args) < 0) buffer[0] = '\0';
#pragma GCC diagnostic pop
}

}  // namespace zyp::tools
