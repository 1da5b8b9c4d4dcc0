/* The launcher that the Windows benchmarks publish: ends at once with exit
 * code 0, the counterpart of the two-line shell script of the Linux
 * benchmarks. Launchers of a given size are this program with random bytes
 * appended, which the loader ignores. */
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR command,
                    int show) {
  (void)instance, (void)previous, (void)command, (void)show;
  return 0;
}
