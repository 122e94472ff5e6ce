#include "codec/StoredSecrets.h"

namespace gw {

namespace {

constexpr std::string_view kSourcePassPhrase =
    "C8A1B8CC-209B-40AD-89EC-8A05C5578ACC-"
    "013AA82A-108C-4E09-A896-4670E0E0A0BA"
    "55241494-2FB3-41CC-A467-8D7F53684B1B-"
    "4F2219E4-32C6-41EA-B4FB-1FB2136BB07B"
    "A40F01BF-BD8B-4488-A25E-CDDC12318BE9-"
    "646774A0-EAA9-45C2-90A9-BB17F419E3A7";
static_assert(kSourcePassPhrase.size() == 219);

constexpr std::string_view kSourceDataPassPhrase =
    "8C8B65F1-023F-4F3F-8133-AFEFC8F08D33-B85CA5B9-0A24-489A-BB15-4796A2C9363D";
static_assert(kSourceDataPassPhrase.size() == 73);

constexpr std::string_view kDefaultCoderPassWord = "FZ3TKJyCadYGtsxGdVyqFup";
static_assert(kDefaultCoderPassWord.size() == 23);

constexpr std::string_view kAboutTexts[2] = {
    "fyqoe+B6YfLjWK9k0lAhWFbZDqEbuVWffbwjq6ytEX6cSFpyIuvoe2wHXARSu578",
    "54ITP39uO8luYIb2ORXgSYId3N3BB7bff0Y2Z3DIzT+fnts3x1ThjakNfxS6uOoC4/INKvPkdybPpQ==",
};

constexpr std::string_view kDevelopmentChallengeKey =
    "DBPoG375H76E2MwRpgt9ECy9YKQN4j02grQoHPVib+eLQOah0hDohqy+yrxxBKUJHrLh7rtN/rdo3f2a7LHYcPZbMt7+"
    "xzTeAVw3PPdPJ1fU8XCZ";
static_assert(kDevelopmentChallengeKey.size() == 112);

constexpr std::string_view kDevelopmentAnswerKey =
    "uIhkx0a8TLGIUUMEOoz3P/aS5xMG2CzXmeiP1P8OfyQg5lfnXMEQwOVVP3o=";
static_assert(kDevelopmentAnswerKey.size() == 60);

}  // namespace

std::string_view SourcePassPhrase() { return kSourcePassPhrase; }
std::string_view SourceDataPassPhrase() { return kSourceDataPassPhrase; }
std::string_view DefaultCoderPassWord() { return kDefaultCoderPassWord; }
std::array<std::string_view, 2> AboutTextSources() { return {kAboutTexts[0], kAboutTexts[1]}; }
std::string_view DevelopmentChallengeKeySource() { return kDevelopmentChallengeKey; }
std::string_view DevelopmentAnswerKeySource() { return kDevelopmentAnswerKey; }

}  // namespace gw
