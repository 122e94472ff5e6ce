// The two handshake keys that the gateway shares with the game client: the challenge key (the
// gateway encrypts the session token with it) and the answer key (the client encrypts its answer
// with it). They are deployment data: the program ships development keys, and an operator
// replaces them without rebuilding through the key file "GateKeys.txt" in the working directory.
//
// Key file: plain text; empty lines and lines starting with "#" are skipped; the first remaining
// line is the enciphered challenge key, the second the enciphered answer key (each as
// `gatekit encipher KEY` prints it); leading and trailing blanks and a CR are ignored; more than
// two keys, fewer than two, or a line that does not decipher to a non-empty key is an error.
//
// All functions are safe to call from any thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "codec/BlowfishCipher.h"

namespace gw {

inline constexpr char kDeploymentKeyFileName[] = "GateKeys.txt";

// Enciphered key texts (the stored form, see DecodeSource).
struct TDeploymentKeyTexts {
  std::string ChallengeKeyText;
  std::string AnswerKeyText;
  std::string Origin;  // "built-in development keys" or the key file's path
};

// A cipher keyed once, with the key text it was keyed from.
struct TPreparedCipher {
  std::string Key;
  TBlowfishCipher Cipher;
};

// Plain keys, ready for the handshake. The prepared ciphers save a key schedule per client;
// the handshake uses one only while its Key equals the key text beside it, so a copy whose
// key text is changed afterwards still uses the new key.
struct TDeploymentKeys {
  std::string ChallengeKey;
  std::string AnswerKey;
  std::string Origin;
  std::shared_ptr<const TPreparedCipher> ChallengeCipher;
  std::shared_ptr<const TPreparedCipher> AnswerCipher;
};

// Keys both ciphers from the key texts (done by DecipherDeploymentKeys). Throws TCodecError
// for an empty key.
void PrepareHandshakeCiphers(TDeploymentKeys& Keys);

// The development keys built into the program, enciphered.
TDeploymentKeyTexts DevelopmentKeyTexts();

// Reads a key file. Throws TCodecError with a message naming the file and the fault.
TDeploymentKeyTexts ReadDeploymentKeyFile(const std::string& Path);

// Deciphers both texts. Throws TCodecError when one deciphers to an empty key.
TDeploymentKeys DecipherDeploymentKeys(const TDeploymentKeyTexts& Texts);

// The keys the gateway uses: from Folder + "/GateKeys.txt" when that file exists, otherwise the
// development keys. Reads the file at every call (call it once per service start). Throws
// TCodecError for a key file that cannot be read or is malformed, or whose presence cannot be
// checked; never falls back silently.
TDeploymentKeys LoadDeploymentKeys(const std::string& Folder = ".");

}  // namespace gw
