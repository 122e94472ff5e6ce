// Text rules the settings dialogs share: trimming, whole numbers, ports and the address
// pattern. Pure functions, safe from any thread.
#pragma once

#include <string>

#include "config/TextFile.h"  // TrimText

namespace gw {

// Reads an optionally signed decimal whole number (no blanks, no other characters) into `value`.
// Returns false for anything else, including numbers beyond 64 bits.
bool ParseWholeNumber(const std::string& text, long long& value);

// True when `text` is a whole number from 0 to 65535.
bool IsValidPortText(const std::string& text);

// True when `text` contains, anywhere, four dot-separated decimal numbers from 0 to 255
// (the address pattern is searched, not anchored: "x10.0.0.1y" passes, "10.0.0" fails).
bool ContainsIPv4Address(const std::string& text);

}  // namespace gw
