// SPDX-License-Identifier: Apache-2.0
// Where the settings file "KELSYS.INI" lives: in the directory named by the
// environment variable HISTFEED_SETTINGS_DIR when that is set and not
// empty, else in the system's settings directory (/etc, or the Windows
// directory on Windows).
#ifndef HISTFEED_TIMEZONE_SETTINGS_FILE_H_
#define HISTFEED_TIMEZONE_SETTINGS_FILE_H_

#include <string>

namespace histfeed {

inline constexpr char kSettingsFileName[] = "KELSYS.INI";
inline constexpr char kSettingsDirectoryVariable[] = "HISTFEED_SETTINGS_DIR";

// The full path of the settings file.
std::string SettingsFilePath();

}  // namespace histfeed

#endif  // HISTFEED_TIMEZONE_SETTINGS_FILE_H_
