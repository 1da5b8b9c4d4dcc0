// The sign-in to a proxy on POSIX systems: Basic, with the credentials of
// the proxy's address. There is no system sign-in to use for Negotiate or
// NTLM.
#include "download/proxy_auth.h"

namespace talvoro {

namespace {

class BasicSignIn : public ProxySignIn {
 public:
  explicit BasicSignIn(const ProxyServer& proxy) : proxy_(proxy) {}

  Result<std::string> Respond(
      const std::vector<AuthChallenge>& challenges) override {
    return RespondWithBasic(proxy_, challenges, &basic_sent_, "");
  }

 private:
  ProxyServer proxy_;
  bool basic_sent_ = false;
};

}  // namespace

std::unique_ptr<ProxySignIn> NewProxySignIn(const ProxyServer& proxy,
                                            const SignInIdentity*) {
  return std::make_unique<BasicSignIn>(proxy);
}

}  // namespace talvoro
