// Opening a counter or the log, the same on every system; open_once is each system's own.
#include <cstring>

#include "platform/platform.h"

namespace platform {

FileOpen LockedFile::open(const char* path, Access access, bool run_locked) {
  close();
  // Room for the temporary file's name beside the file's own.
  if (strnlen(path, sizeof path_) + sizeof kTempSuffix > sizeof path_) return FileOpen::absent;
  std::strcpy(path_, path);
  access_ = access;
  run_locked_ = run_locked;
  return open_once(access, run_locked);
}

}  // namespace platform
