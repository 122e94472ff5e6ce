// The program's fixed secrets and what they protect: pass phrase shapes, the enciphered About
// texts and development keys, the stored-secret decoders and the operator's key file.
#include <gtest/gtest.h>

#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "codec/DeploymentKeys.h"
#include "codec/EDcode.h"
#include "codec/StoredSecrets.h"

namespace gw {
namespace {

const std::string kGuid = "[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}";

TEST(StoredSecretsTest, PassPhrasesHaveTheirShapes) {
  const std::string source(SourcePassPhrase());
  EXPECT_EQ(source.size(), 219u);
  const std::regex six("^" + kGuid + "-" + kGuid + kGuid + "-" + kGuid + kGuid + "-" + kGuid + "$");
  EXPECT_TRUE(std::regex_match(source, six)) << source;

  const std::string data(SourceDataPassPhrase());
  EXPECT_EQ(data.size(), 73u);
  EXPECT_TRUE(std::regex_match(data, std::regex("^" + kGuid + "-" + kGuid + "$"))) << data;
  EXPECT_EQ(DefaultCoderPassWord().size(), 23u);
}

TEST(StoredSecretsTest, ProtectedTextsAreStoredOnlyEnciphered) {
  for (std::string_view stored : AboutTextSources()) {
    EXPECT_TRUE(IsBase64Text(stored)) << stored;
    const std::string plain = DecodeSource(stored);
    EXPECT_GE(plain.size(), 8u);
    EXPECT_EQ(plain.find("\xEF\xBF\xBD"), std::string::npos) << "deciphers to clean text";
    EXPECT_EQ(std::string(stored).find(plain), std::string::npos);
  }
  EXPECT_EQ(DevelopmentChallengeKeySource().size(), 112u);
  EXPECT_EQ(DevelopmentAnswerKeySource().size(), 60u);
  const TDeploymentKeys keys = DecipherDeploymentKeys(DevelopmentKeyTexts());
  EXPECT_TRUE(std::regex_match(keys.ChallengeKey, std::regex("^\\{" + kGuid + "\\}$")));
  EXPECT_EQ(keys.AnswerKey.size(), 18u);
}

TEST(StoredSecretsTest, SourceRoundTripsAndDataNeedsTheFullCount) {
  for (const char* text : {"x", "NetPassWord 网关", "{3F2504E0-4F89-41D3-9A0C-0305E82C3301}"}) {
    EXPECT_EQ(DecodeSource(EncodeSource(text)), text);
  }
  EXPECT_EQ(DecodeSource(""), "");
  // Text enciphered for one pass phrase does not decipher under the other.
  EXPECT_NE(BlowfishDecryptString(EncodeSource("secret text"), SourceDataPassPhrase()),
            "secret text");

  std::vector<uint8_t> block(400);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(255 - i);
  std::vector<uint8_t> out(400);
  DecodeSourceData(EncodeSourceData(block), out.data(), 400);
  EXPECT_EQ(out, block);

  const std::string short_text =
      EncodeSourceData(std::vector<uint8_t>(block.begin(), block.end() - 1));
  try {
    DecodeSourceData(short_text, out.data(), 400);
    FAIL() << "399 bytes for a 400-byte block must raise";
  } catch (const TCodecError& e) {
    EXPECT_STREQ(e.what(), kStreamReadError);
  }
}

class KeyFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("gw-keyfile-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void WriteKeyFile(const std::string& content) {
    std::ofstream(dir_ / kDeploymentKeyFileName, std::ios::binary) << content;
  }

  std::filesystem::path dir_;
};

TEST_F(KeyFileTest, WithoutAFileTheDevelopmentKeysApply) {
  const TDeploymentKeys keys = LoadDeploymentKeys(dir_.string());
  const TDeploymentKeys dev = DecipherDeploymentKeys(DevelopmentKeyTexts());
  EXPECT_EQ(keys.ChallengeKey, dev.ChallengeKey);
  EXPECT_EQ(keys.AnswerKey, dev.AnswerKey);
  EXPECT_EQ(keys.Origin, "built-in development keys");
}

TEST_F(KeyFileTest, ReadsChallengeThenAnswerKey) {
  WriteKeyFile("# production keys\r\n\r\n  " + EncodeSource("challenge-key-1") + "  \r\n" +
               EncodeSource("answer-key-2") + "\r\n\r\n");
  const TDeploymentKeys keys = LoadDeploymentKeys(dir_.string());
  EXPECT_EQ(keys.ChallengeKey, "challenge-key-1");
  EXPECT_EQ(keys.AnswerKey, "answer-key-2");
  EXPECT_NE(keys.Origin.find(kDeploymentKeyFileName), std::string::npos);
}

TEST_F(KeyFileTest, RefusesMalformedFiles) {
  const std::string a = EncodeSource("key-a");
  const std::string b = EncodeSource("key-b");
  struct Case {
    std::string content;
    std::string fault;
  };
  const Case cases[] = {
      {"", "found 0"},
      {a + "\n", "found 1"},
      {a + "\n" + b + "\n" + a + "\n", "found 3"},
      {a + "\n{9FDF2573-5C9E-4673-B267-E7E8FE41F9FE}\n", "line 2 is not an enciphered key"},
      {a + "\nAAAA\n", "empty"},
      {std::string(70000, 'A'), "too large"},
  };
  for (const Case& c : cases) {
    WriteKeyFile(c.content);
    try {
      LoadDeploymentKeys(dir_.string());
      ADD_FAILURE() << "accepted: " << c.content.substr(0, 80);
    } catch (const TCodecError& e) {
      EXPECT_NE(std::string(e.what()).find(c.fault), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(kDeploymentKeyFileName), std::string::npos);
    }
  }
}

// When the file system cannot say whether a key file is there (here a symbolic link that points
// at itself), the development keys must not stand in for the operator's.
TEST_F(KeyFileTest, UncheckableKeyFileIsAnErrorNotTheDevelopmentKeys) {
  // A link to itself: the file can be neither found nor ruled out.
  std::error_code linkError;
  std::filesystem::create_symlink(kDeploymentKeyFileName, dir_ / kDeploymentKeyFileName, linkError);
  if (linkError) GTEST_SKIP() << "no symbolic links on this system: " << linkError.message();
  try {
    const TDeploymentKeys keys = LoadDeploymentKeys(dir_.string());
    ADD_FAILURE() << "loaded keys from " << keys.Origin;
  } catch (const TCodecError& e) {
    EXPECT_NE(std::string(e.what()).find(kDeploymentKeyFileName), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace gw
