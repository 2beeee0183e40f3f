#pragma once

#include <cstdio>

namespace quarn {

class DeviceCredentialStore;

/// The command-line provisioning mode of quarn-mail: a device token is read
/// from standard input and stored, with no window, no model and no network.
namespace provisioning {

/// Whether the argument list (the program path included) holds
/// "--provision-token" as a whole argument.
[[nodiscard]] bool isRequested(int argc, const char *const *argv);

/// Reads one line from `inputFd` (its LF or CRLF removed; a last line without
/// a line end counts), stores it unchanged through `store` and answers the
/// exit status: 0 on success, 1 silently when the input ends before any line,
/// 1 after writing "Quarn Mail token provisioning failed.\n" to `errorFd` for
/// any other failure.
[[nodiscard]] int run(int inputFd, int errorFd, const DeviceCredentialStore &store);

/// run() on standard input and standard error with the production store.
[[nodiscard]] int run();

} // namespace provisioning
} // namespace quarn
