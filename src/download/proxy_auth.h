// Signing in to a proxy that answers CONNECT with 407.
//
// The proxy names the schemes it accepts in its Proxy-Authenticate
// headers; a ProxySignIn answers them with the Proxy-Authorization of the
// next CONNECT. Basic uses the credentials of the proxy's address
// (proxy.h); on Windows, Negotiate and NTLM sign in as the logged-on user
// through SSPI (proxy_auth_sspi_win.cc), preferred in that order before
// Basic. Credentials and the values made from them are never printed or
// logged.
#ifndef TALVORO_DOWNLOAD_PROXY_AUTH_H_
#define TALVORO_DOWNLOAD_PROXY_AUTH_H_

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.h"
#include "download/proxy.h"

namespace talvoro {

// One challenge of a Proxy-Authenticate header: the scheme, and either a
// token ("NTLM <base64>") or parameters ("Basic realm=\"x\"").
struct AuthChallenge {
  std::string scheme;
  std::string token;
  std::vector<std::pair<std::string, std::string>> params;
};

// The challenges of one Proxy-Authenticate value, in order: several
// challenges separated by commas, each a scheme followed by a token68 or
// by name=value parameters (values quoted, with backslash escapes, or
// bare). Malformed parts are skipped; what can be read is kept.
std::vector<AuthChallenge> ParseChallenges(std::string_view value);

// The challenges of every Proxy-Authenticate header (name in any case) of
// the answer head `head`, in order.
std::vector<AuthChallenge> ProxyChallenges(std::string_view head);

// The challenge of `scheme` (any case) among `challenges`, or null.
const AuthChallenge* FindChallenge(const std::vector<AuthChallenge>& challenges,
                                   std::string_view scheme);

// The schemes of `challenges` for a line: "Basic, NTLM", or "none".
std::string SchemeList(const std::vector<AuthChallenge>& challenges);

// Base64 with padding (RFC 4648); Base64Decode gives nullopt for text that
// is not (white space is not allowed).
std::string Base64Encode(std::string_view bytes);
std::optional<std::string> Base64Decode(std::string_view text);

// The Proxy-Authorization value for Basic: "Basic " and the base64 of
// "user:password".
std::string BasicAuthorization(std::string_view user,
                               std::string_view password);

// An explicit identity for the Windows sign-in, given by test builds only;
// the program signs in as the logged-on user.
struct SignInIdentity {
  std::string user;
  std::string domain;
  std::string password;
};

// The sign-in of one tunnel, over the rounds of its CONNECTs.
class ProxySignIn {
 public:
  virtual ~ProxySignIn() = default;

  // The Proxy-Authorization value for the next CONNECT, after the proxy
  // answered 407 offering `challenges`. Errors (kNetwork, cause
  // kProxySignIn) end the attempt: "proxy requires authentication
  // (offered: <schemes>)" followed by why nothing more can be sent (no
  // credentials, credentials refused, no scheme supported, the system's
  // sign-in failed).
  virtual Result<std::string> Respond(
      const std::vector<AuthChallenge>& challenges) = 0;
};

// The platform's sign-in for `proxy`: Basic with the address's credentials
// everywhere; on Windows Negotiate and NTLM first, as the logged-on user or
// as `identity` when not null.
std::unique_ptr<ProxySignIn> NewProxySignIn(const ProxyServer& proxy,
                                            const SignInIdentity* identity);

// The common part of every platform's sign-in: Basic with `proxy`'s
// credentials, once. `*basic_sent` records that it was sent (a second 407
// means the credentials were refused). `failure` is the reason given when
// Basic is not offered (an earlier scheme's failure, or "").
Result<std::string> RespondWithBasic(
    const ProxyServer& proxy, const std::vector<AuthChallenge>& challenges,
    bool* basic_sent, std::string_view failure);

// The error of a sign-in that cannot go on: "proxy requires
// authentication (offered: <schemes>); <reason>", cause kProxySignIn.
Error SignInError(const std::vector<AuthChallenge>& challenges,
                  std::string_view reason);

}  // namespace talvoro

#endif  // TALVORO_DOWNLOAD_PROXY_AUTH_H_
