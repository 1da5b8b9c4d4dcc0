// The picture of the progress window, stored in the program at build time.
#ifndef TALVORO_UI_SRC_SPLASH_H_
#define TALVORO_UI_SRC_SPLASH_H_

#include <cstdint>
#include <span>

namespace talvoro::ui {

// The PNG file assets/splash.png, byte for byte. Static storage.
std::span<const uint8_t> SplashPng();

}  // namespace talvoro::ui

#endif  // TALVORO_UI_SRC_SPLASH_H_
