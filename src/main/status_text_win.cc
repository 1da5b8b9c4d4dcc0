#include <windows.h>

#include "main/status_text.h"

namespace talvoro {

Language UserLanguage() {
  return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_CHINESE
             ? Language::kChinese
             : Language::kEnglish;
}

}  // namespace talvoro
