// The names of the program's working files, all in one folder: the folder
// the program was started in, computed once at start-up (app.h) and passed
// to the download and the hand-off.
#ifndef TALVORO_MAIN_WORKING_FILES_H_
#define TALVORO_MAIN_WORKING_FILES_H_

namespace talvoro {

// The download target and its ETag sidecar.
inline constexpr char kTargetFileName[] = "TalvoroLauncher.bin";
inline constexpr char kEtagFileName[] = "TalvoroLauncher.bin.etag";
// The launcher that the hand-off puts in place and starts.
inline constexpr char kLauncherName[] = "TalvoroLauncher.exe";
// The launcher is copied here first and renamed over kLauncherName, so that
// the launcher path always holds a whole file or none.
inline constexpr char kLauncherTempName[] = "TalvoroLauncher.exe.tmp";

}  // namespace talvoro

#endif  // TALVORO_MAIN_WORKING_FILES_H_
