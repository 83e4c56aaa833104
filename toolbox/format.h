#pragma once
// The toolbox's message formatter: printf-style with the conversions of the
// Windows wsprintf family (d i u x X o c s p and %%, with flags, width,
// precision and the h, hh, l, ll length modifiers). Floating point, %n,
// positional arguments and wide-character conversions are not formatted:
// such a conversion is printed as it stands and takes no argument, so a
// stray one can never read or write through a wrong argument.
#include <cstdarg>
#include <cstddef>
#include <string>

namespace zyp::tools {

// The format with every conversion that is not supported written as text.
std::string supported_format(const char* format);

// The whole formatted text.
std::string format_text(const char* format, va_list args);

// Formats into buffer[size], cut to size - 1 characters and terminated
// (nothing when size is 0).
void format_into(char* buffer, size_t size, const char* format, va_list args);

}  // namespace zyp::tools
