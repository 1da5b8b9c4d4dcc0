#include <cstdlib>

#include "main/status_text.h"

namespace talvoro {

Language UserLanguage() {
  return LanguageOfLocale(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"),
                          std::getenv("LANG"));
}

}  // namespace talvoro
