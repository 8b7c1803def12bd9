// The scratch directory: a writable folder for temporary files, chosen from fixed candidates.
#include "internal.h"

#include <cstdlib>
#include <cstring>

namespace korvid {
namespace {

constexpr char kModule[] = "lib/scratchdir";

bool CopyCandidate(char* buffer, const std::string& candidate) {
  if (candidate.size() >= kMaxPath) return false;
  std::memcpy(buffer, candidate.c_str(), candidate.size() + 1);
  return true;
}

// The system drive as a drive name ("C:"): fixed on the 9x family, from the
// environment on the NT family.
std::string SystemDrive() {
  if (GetVersion() & 0x80000000u) return "C:";
  std::optional<std::string> drive = GetEnvironmentValue("SystemDrive");
  if (!drive || drive->empty()) {
    TraceError("SystemDrive environment variable not defined");
    return "C:";
  }
  return std::string(1, (*drive)[0]) + ":";
}

}  // namespace

bool IsGoodTempFolder(const char* path, bool allowSpecialCharacters, bool allowNetworkPath) {
  if (!IsAbsolutePath(path)) return false;
  if (!allowSpecialCharacters && std::strpbrk(path, "~ ") != nullptr) return false;
  if (!allowNetworkPath && IsDirectoryDelimiter(static_cast<unsigned char>(path[0])) &&
      IsDirectoryDelimiter(static_cast<unsigned char>(path[1]))) {
    return false;
  }
  bool verdict = AccessDirectory(path, 6);
  Trace(traceStreams.tempfile, "IsGoodTempFolder(\"%s\", %d, %d) => %d", path,
        allowSpecialCharacters ? 1 : 0, allowNetworkPath ? 1 : 0, verdict ? 1 : 0);
  return verdict;
}

bool ChooseScratchDirectory(char* buffer, bool plainOnly) {
  ClearLastError();
  const bool allow = !plainOnly;
  auto good = [&](const std::string& candidate) {
    return CopyCandidate(buffer, candidate) && IsGoodTempFolder(buffer, allow, allow);
  };

  // 1. The configured "Temp".
  char configured[kMaxPath];
  if (GetConfigValue("Korvid", "Temp", configured, sizeof configured, nullptr) != nullptr &&
      good(configured)) {
    return true;
  }
  const std::string drive = SystemDrive();
  // 2. The distribution's own folder on the system drive.
  if (good(drive + "\\KorvidTemp")) return true;
  // 3. The system's temporary path.
  char temp[kMaxPath];
  DWORD length = GetTempPathA(sizeof temp, temp);
  if (length == 0) {
    KORVID_TRACE_LAST_WIN32_ERROR("GetTempPath");
  } else if (length < kMaxPath && good(temp)) {
    return true;
  }
  // 4., 5. The usual folders on the system drive.
  if (good(drive + "\\temp")) return true;
  if (good(drive + "\\tmp")) return true;
  // 6. The local TEXMF root; one too long for the buffer is passed over.
  int localRoot = GetLocalRoot();
  char root[kRootBufferSize];
  if (localRoot >= 0 && GetRootDirectory(static_cast<unsigned>(localRoot), root) != nullptr &&
      good(root)) {
    return true;
  }
  // 7. The root of the system drive.
  if (good(drive + "\\")) return true;

  KORVID_RAISE(ErrorCode::InternalError);
  TraceError("cannot find temporary folder");
  return false;
}

}  // namespace korvid
