// talvoro-bootstrap: shows the progress window, downloads and verifies the
// launcher, puts it in place and starts it. The address is fixed at build
// time, and so are the launcher's accepted signers (none: no check); the
// program reads no command line and no configuration.
#include "main/app.h"

int main() {
  talvoro::RunBootstrap(TALVORO_DOWNLOAD_URL, {}, TALVORO_LAUNCHER_SIGNERS);
}
