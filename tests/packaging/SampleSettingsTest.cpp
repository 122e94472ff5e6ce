// The GateWay.xml the package installs: every setting it holds reads back as the gateway's own
// default, and it leaves out only the settings whose defaults follow the host's processors, so
// that a package built on one machine does not pin another machine's thread counts.
#include <gtest/gtest.h>

#include <string>

#include "config/GateWayConfigure.h"
#include "config/TextFile.h"

namespace gw {
namespace {

std::string Sample() { return ReadSettingsFile(GW_SAMPLE_SETTINGS); }

// The default file's text without the elements named.
std::string DefaultTextWithout(std::initializer_list<std::string> names) {
  std::string text = TGateWayConfigure().SaveToText();
  for (const std::string& name : names) {
    const size_t begin = text.find("\t<" + name + ">");
    EXPECT_NE(begin, std::string::npos) << name;
    if (begin == std::string::npos) continue;
    text.erase(begin, text.find('\n', begin) + 1 - begin);
  }
  return text;
}

TEST(SampleSettings, IsTheDefaultFileLessThePerProcessorSettings) {
  EXPECT_EQ(Sample(), DefaultTextWithout({"CheckThreads", "WorkThreads"}));
}

TEST(SampleSettings, ReadsBackAsTheDefaults) {
  TGateWayConfigure loaded;
  loaded.LoadFromText(Sample());
  EXPECT_EQ(loaded.SaveToText(), TGateWayConfigure().SaveToText());
}

}  // namespace
}  // namespace gw
