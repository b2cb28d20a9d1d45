#pragma once
// printf-style formatting for the message templates ("%s", "%d", "%.8x", ...).
#include <cstdarg>
#include <string>

#if defined(__GNUC__)
#define NX_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define NX_PRINTF_LIKE(fmt, args)
#endif

std::string Format(const char* format, ...) NX_PRINTF_LIKE(1, 2);
std::string FormatV(const char* format, va_list args);
