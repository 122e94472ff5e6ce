#include "config/WordList.h"

namespace gw {

std::vector<std::string> TWordList::Items() const {
  std::lock_guard lock(FWordListLock);
  return FWords;
}

void TWordList::Assign(std::vector<std::string> AItems) {
  std::lock_guard lock(FWordListLock);
  FWords = std::move(AItems);
}

void TWordList::Assign(std::vector<std::string> AItems, TTextEncoding AEncoding) {
  std::lock_guard lock(FWordListLock);
  FWords = std::move(AItems);
  FEncoding = AEncoding;
}

TTextEncoding TWordList::Encoding() const {
  std::lock_guard lock(FWordListLock);
  return FEncoding;
}

void TWordList::LoadFromFile(const std::string& AFileName) {
  std::lock_guard lock(FWordListLock);
  TTextLines text = DecodeTextLines(ReadSettingsFile(AFileName));
  FWords = std::move(text.Lines);
  FEncoding = text.Encoding;
}

void TWordList::SaveToFile(const std::string& AFileName) {
  std::vector<std::string> words;
  TTextEncoding taken;
  {
    std::lock_guard lock(FWordListLock);
    words = FWords;
    taken = FEncoding;
  }
  TTextEncoding encoding = taken;
  const std::string bytes = EncodeTextLines(words, encoding);
  WriteSettingsFile(AFileName, bytes);
  // Text the ANSI code page cannot hold moved the file to UTF-8; later saves keep to it. A load
  // that ran meanwhile has set the encoding of its own file, which stays.
  std::lock_guard lock(FWordListLock);
  if (FEncoding == taken) FEncoding = encoding;
}

}  // namespace gw
