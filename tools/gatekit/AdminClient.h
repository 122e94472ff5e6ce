// gatekit admin: a client of the gateway's admin API for scripts, as curl would be used:
//   gatekit admin URL [--token-file F] [--cacert F] [--insecure] COMMAND [ARG]
// with the commands status, sessions [QUERY], kick HANDLE, block ADDR [--temporary],
// unblock ADDR [--temporary], reload and drain. The answer's body goes to standard output.
// The token is the file's first "name:token" line (or a line holding the token alone), else
// the environment's GATEWAY_ADMIN_TOKEN. Exit codes are curl -f's: 0 success, 22 an HTTP
// answer of 400 or more (its body on standard error), 7 no connection, 35 a TLS failure,
// 56 a broken answer, 3 a malformed URL, 2 a usage error, 1 an unreadable token file.
#pragma once

#include <string>
#include <vector>

namespace gw {

// Args: the words after "admin".
int RunAdminClient(const std::vector<std::string>& Args, std::string& Out, std::string& Err);

}  // namespace gw
