// The program's fixed secrets. The two pass phrases and the default pass word are held in the
// program as they are; everything they protect (the development handshake keys, the two About
// texts) is held only enciphered and deciphered when needed. Read-only data, safe from any
// thread.
#pragma once

#include <array>
#include <string_view>

namespace gw {

// Pass phrase of DecodeSource: six upper-case GUID texts (36 characters each) run together, with
// a hyphen between the first and second, the third and fourth, the fifth and sixth (219 chars).
std::string_view SourcePassPhrase();

// Pass phrase of DecodeSourceData: two upper-case GUID texts joined by a hyphen (73 chars).
std::string_view SourceDataPassPhrase();

// The message coder's default pass word (23 characters), set once at start-up.
std::string_view DefaultCoderPassWord();

// The two About texts, enciphered (decipher with DecodeSource).
std::array<std::string_view, 2> AboutTextSources();

// The development handshake keys, enciphered: the challenge key (112 base64 characters) and the
// answer key (60 base64 characters).
std::string_view DevelopmentChallengeKeySource();
std::string_view DevelopmentAnswerKeySource();

}  // namespace gw
