#pragma once

#include <cstdint>

namespace httplib {
class Server;
}

namespace quarn::service {

class MailStore;

/// The browser sign-in of the desktop client (authorization code with PKCE
/// S256): the authorization page at /auth/oauth/authorize with its Allow and
/// Deny buttons, and the token endpoint /api/auth/oauth/token.
///
/// The reference service has no login of its own: approving the page signs
/// in its owner account (the first account, the demo user after seeding). It
/// listens on loopback only, so whoever can open the page is on this machine.
void installSignIn(httplib::Server &server, MailStore &store, std::int64_t codeLifetimeMs);

} // namespace quarn::service
