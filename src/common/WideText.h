// UTF-8 and the UTF-16 of the Windows API's wide calls: the program keeps its text
// (paths included) in UTF-8, while the runtime's narrow calls would read the ANSI code
// page. Windows only (WideTextWindows.cpp). Pure functions: any thread.
#pragma once

#include <cstddef>
#include <string>

namespace gw {

std::wstring WideFromUtf8(const std::string& utf8);
std::string Utf8FromWide(const wchar_t* text, size_t length);

}  // namespace gw
