// The program signing in to a proxy as a fixed test user instead of the
// logged-on user: under Wine the logged-on user has no credentials that
// NTLM can use, so the fault tests reach the same SSPI calls this way.
#include "download/connection.h"
#include "main/app.h"

int main() {
  static const talvoro::SignInIdentity identity{"talvoro-tester", "TESTLAB",
                                                "Wine-Sign-In-7"};
  talvoro::RunBootstrap(TALVORO_DOWNLOAD_URL,
                        {.connection = {.sign_in_identity = &identity}});
}
