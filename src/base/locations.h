// Portable. Where the helper keeps what it is told and what it reports, and the names it is known
// by: what the helper, the service and the client all need to find. No <windows.h>.
#pragma once

#include <cstddef>
#include <string_view>

namespace tolm {

// The data directory: a literal path, never derived from the environment.
inline constexpr std::string_view kDataDirectory = "C:\\ProgramData\\Tolm";

// Files of the data directory.
inline constexpr char kTokenFileName[] = "capture.auth";
inline constexpr char kCaptureTargetFileName[] = "capture.target";
inline constexpr char kDisplayIndexFileName[] = "display.index";
inline constexpr char kDesktopFileName[] = "capture.desktop";
inline constexpr char kLastErrorFileName[] = "capture.last-error.txt";

// The status file, in the data directory, in kWindowsTempDirectory, and in the writing process's
// temporary directory.
inline constexpr char kStatusFileName[] = "tolm-capture-helper.status.json";
inline constexpr std::string_view kWindowsTempDirectory = "C:\\Windows\\Temp";
// Where each is in the list of status locations, and how many of them each writer uses: the worker
// all three, the service the first two.
inline constexpr std::size_t kStatusInDataDirectory = 0;
inline constexpr std::size_t kWorkerStatusLocations = 3;
inline constexpr std::size_t kServiceStatusLocations = 2;

// What a data directory found untrusted is renamed to: this, then milliseconds since 1970.
inline constexpr std::string_view kMovedAsideSuffix = ".untrusted-";

inline constexpr char kServiceName[] = "TolmCaptureHelper";

// The capture pipe.
inline constexpr char kPipeName[] = "\\\\.\\pipe\\tolm-capture";

}  // namespace tolm
