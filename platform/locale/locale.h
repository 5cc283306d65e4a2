// Locale identifiers (the Windows LCID numbers) from POSIX locale names.
//
// The user's locale comes from LC_ALL, then LC_MESSAGES, then LANG; the
// system's from LANG in <sysroot>etc/default/locale, else the user's. A name
// such as "es_ES.UTF-8@euro" is reduced to "es_ES" and looked up; when the
// region is unknown, the language alone ("sv" -> 29, the neutral identifier).
// Unknown names give 1033 (English, United States).
#pragma once

#include <cstdint>
#include <string>

namespace platform {

uint32_t LcidFromLocaleName(const std::string& name);
uint32_t UserDefaultLcid();
uint32_t SystemDefaultLcid();

}  // namespace platform
