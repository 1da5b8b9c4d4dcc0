// The handler std::terminate calls. The library's own prints the type of
// the exception in flight, which links its whole demangler into the
// program (about 46 KiB of the Windows program); a line and the abort are
// all this program needs.
#include <cstdio>
#include <cstdlib>

namespace __gnu_cxx {

void __verbose_terminate_handler() {
  std::fputs("terminate called\n", stderr);
  std::abort();
}

}  // namespace __gnu_cxx
