#pragma once
// The licence agreement shown on the first page, one entry per line of the box. The lines
// are wrapped to fit the box (at most 69 bytes each in the Korean ANSI code page); the last
// one is empty.
#include <array>
#include <string>

extern const std::array<const wchar_t*, 236> kLicenceLines;

// The lines joined by CR LF, as the box holds them (no line end after the last one, so the
// box has exactly one line per entry).
std::wstring LicenceText();
