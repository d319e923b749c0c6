// Windows.
#include <windows.h>

#include <aclapi.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>

#include "platform/in_place.h"
#include "platform/platform.h"

namespace platform {

namespace {

constexpr char kVersionKeyPath[] = "Software\\Microsoft\\Windows\\CurrentVersion";
// Far past any counter or log, so the lock never blocks a plain reader's bytes.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;
// Version values are short names; anything larger is not a version fact.
constexpr DWORD kMaxValueBytes = 16384;
// Others may read, rewrite and replace the file while it is open.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE as_handle(void* h) { return h == nullptr ? INVALID_HANDLE_VALUE : static_cast<HANDLE>(h); }

HANDLE open_handle(const char* path, DWORD rights, DWORD disposition) {
  return CreateFileA(path, rights, kShareAll, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The file name after the directory: temp and target share the directory,
// so a bare name renames within it.
const char* final_component(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
  }
  return name;
}

// Names Windows gives to devices whatever follows them ("con.ini" is the console).
constexpr const char* kDeviceNames[] = {"CON", "PRN", "AUX", "NUL", "COM", "LPT", "CONIN$", "CONOUT$"};

bool names_device(const char* path) {
  const char* name = final_component(path);
  for (const char* device : kDeviceNames) {
    const std::size_t len = std::strlen(device);
    if (_strnicmp(name, device, len) != 0) continue;
    const char* rest = name + len;
    // COM and LPT are devices with a digit behind them.
    if (len == 3 && (_strnicmp(device, "COM", 3) == 0 || _strnicmp(device, "LPT", 3) == 0)) {
      if (*rest < '0' || *rest > '9') continue;
      ++rest;
    }
    if (*rest == '\0' || *rest == '.' || *rest == ':' || *rest == ' ') return true;
  }
  return false;
}

// Opens path for the access; falls back to what the file allows. A device or
// a pipe, by name or by what opened, is refused.
HANDLE open_for(const char* path, Access access, bool& readable, bool& writable) {
  if (names_device(path)) return INVALID_HANDLE_VALUE;
  const DWORD disposition = access == Access::create ? OPEN_ALWAYS : OPEN_EXISTING;
  readable = true;
  writable = access != Access::read;
  HANDLE h = open_handle(path, writable ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ, disposition);
  const DWORD error = h == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  if (h == INVALID_HANDLE_VALUE && access == Access::update && !missing) {
    // Read-only for any reason (rights, a read-only file or volume): shown, not stored.
    writable = false;
    h = open_handle(path, GENERIC_READ, disposition);
  } else if (h == INVALID_HANDLE_VALUE && access == Access::create && error == ERROR_ACCESS_DENIED) {
    readable = false;
    h = open_handle(path, GENERIC_WRITE, disposition);
  }
  return h;
}

enum class Locked { yes, unsupported, timed_out };
// Between two tries for a lock held elsewhere; short, as a turn takes milliseconds.
constexpr DWORD kLongestPauseMs = 16;
constexpr ULONGLONG kMsPerSecond = 1000;

// What a finished turn changes in the file each holder rewrites.
struct Progress {
  FILETIME written;
  DWORD size_low;
  bool operator!=(const Progress& other) const {
    return CompareFileTime(&written, &other.written) != 0 || size_low != other.size_low;
  }
};

Progress progress_of(const char* path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (GetFileAttributesExA(path, GetFileExInfoStandard, &data) == FALSE) return {};
  return {data.ftLastWriteTime, data.nFileSizeLow};
}

// An exclusive lock on h, tried again and again within the turn's bounds:
// as long as the turns ahead keep finishing, but not past a stuck one.
Locked lock_bounded(HANDLE h, const char* progress_path) {
  const ULONGLONG began = GetTickCount64();
  ULONGLONG changed = began;
  Progress last = progress_of(progress_path);
  DWORD pause = 1;
  for (;;) {
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != FALSE) return Locked::yes;
    if (GetLastError() != ERROR_LOCK_VIOLATION && GetLastError() != ERROR_IO_PENDING) return Locked::unsupported;
    Sleep(pause);
    pause = pause * 2 > kLongestPauseMs ? kLongestPauseMs : pause * 2;
    const ULONGLONG now = GetTickCount64();
    const Progress seen = progress_of(progress_path);
    if (seen != last) {
      last = seen;
      changed = now;
    }
    if (now - changed >= kTurnStallSeconds * kMsPerSecond || now - began >= kTurnMaxSeconds * kMsPerSecond) {
      return Locked::timed_out;
    }
  }
}

void unlock_range(HANDLE h) {
  OVERLAPPED at{};
  at.OffsetHigh = kLockOffsetHigh;
  UnlockFileEx(h, 0, 1, 0, &at);
}

// Closes a handle when it goes out of scope.
struct HandleGuard {
  HANDLE h;
  ~HandleGuard() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

// Whether path still names the file behind held, or was replaced meanwhile.
bool names_file(const char* path, HANDLE held) {
  const HandleGuard named{CreateFileA(path, 0, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
  BY_HANDLE_FILE_INFORMATION a{};
  BY_HANDLE_FILE_INFORMATION b{};
  return named.h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(held, &a) != FALSE &&
         GetFileInformationByHandle(named.h, &b) != FALSE && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
         a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

bool write_all(HANDLE h, const char* data, std::size_t len) {
  while (len > 0) {
    const DWORD want = len > MAXDWORD ? MAXDWORD : static_cast<DWORD>(len);
    DWORD done = 0;
    if (WriteFile(h, data, want, &done, nullptr) == FALSE || done == 0) return false;
    data += done;
    len -= done;
  }
  return true;
}

// Frees a security descriptor returned by the system.
struct LocalGuard {
  PSECURITY_DESCRIPTOR p;
  ~LocalGuard() {
    if (p != nullptr) LocalFree(p);
  }
};

// The new file must carry the rights set on the old one, such as write access
// granted to the web server's account on this one counter file.
bool copy_access_rights(HANDLE from, HANDLE to) {
  PACL dacl = nullptr;
  LocalGuard sd{nullptr};
  if (GetSecurityInfo(from, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd.p) !=
      ERROR_SUCCESS) {
    return false;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (GetSecurityDescriptorControl(sd.p, &control, &revision) == FALSE) return false;
  const SECURITY_INFORMATION which =
      DACL_SECURITY_INFORMATION |
      ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
  return SetSecurityInfo(to, SE_FILE_OBJECT, which, nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

// FileRenameInfoEx, which MinGW's headers declare only for newer targets.
constexpr auto kRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
constexpr DWORD kRenameReplacePosix = 0x1 | 0x2;  // replace if exists, POSIX semantics
constexpr std::size_t kNameChars = 272;

// Renames the open temporary file over path even while path is held open by
// us and by waiting processes: one atomic step, on Windows 10 1809 and later.
bool rename_over_open_file(HANDLE temp, const char* path) {
  struct {
    FILE_RENAME_INFO info;
    WCHAR rest[kNameChars];
  } request{};
  const int chars = MultiByteToWideChar(CP_ACP, 0, final_component(path), -1, request.info.FileName,
                                        static_cast<int>(kNameChars));
  if (chars <= 1) return false;
  request.info.Flags = kRenameReplacePosix;
  request.info.FileNameLength = static_cast<DWORD>(chars - 1) * sizeof(WCHAR);
  return SetFileInformationByHandle(temp, kRenameInfoEx, &request, sizeof request) != FALSE;
}

enum class Replaced {
  done,      // the new content is in place
  not_here,  // no new file with the old one's rights here, or no rename over an open file
  failed,    // the new file could not be written in full; the old one is as it was
};

// The temporary file, made fresh: whatever a killed run or anyone else left
// under its name is removed first.
HANDLE create_temp(const char* temp) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    const HANDLE h =
        CreateFileA(temp, GENERIC_WRITE | WRITE_DAC | DELETE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return h;
    if (DeleteFileA(temp) == FALSE && RemoveDirectoryA(temp) == FALSE) break;
  }
  return INVALID_HANDLE_VALUE;
}

bool disk_full(DWORD error) { return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL; }

// Writes the new content beside the file and renames it over the old one, so
// the path always names a whole old or whole new file. Not ReplaceFile: it
// renames twice, leaving a moment in which the path names no file at all.
Replaced replace_by_temp(HANDLE held, const char* path, const char* temp, const char* data, std::size_t len) {
  // Only the lock holder writes the temporary file, so its fixed name is safe.
  const HandleGuard out{create_temp(temp)};
  if (out.h == INVALID_HANDLE_VALUE) return disk_full(GetLastError()) ? Replaced::failed : Replaced::not_here;
  Replaced result = Replaced::not_here;
  if (!copy_access_rights(held, out.h)) {
    result = Replaced::not_here;
  } else if (!write_all(out.h, data, len)) {
    result = Replaced::failed;  // a full disk: the old file stays, whole
  } else if (rename_over_open_file(out.h, path)) {
    return Replaced::done;
  }
  // Older systems and Wine refuse to rename over a file that is open.
  FILE_DISPOSITION_INFO gone{};
  gone.DeleteFile = TRUE;
  SetFileInformationByHandle(out.h, FileDispositionInfo, &gone, sizeof gone);
  return result;
}

}  // namespace

void set_binary_stdout() { _setmode(_fileno(stdout), _O_BINARY); }

// The Windows build runs as CGI only.
bool started_by_fastcgi() { return false; }

bool is_dir_separator(char c) { return c == '\\'; }

bool leaves_install_dir(const char* name) {
  return name[0] == '/' || name[0] == '\\' || (name[0] != '\0' && name[1] == ':');
}

LocalTime local_time_now() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute};
}

namespace {

void close_locked(void*& handle) {
  const HANDLE h = as_handle(handle);
  if (h != INVALID_HANDLE_VALUE) {
    unlock_range(h);  // fails harmlessly when never locked
    CloseHandle(h);
  }
  handle = nullptr;
}

}  // namespace

Turn RunLock::acquire(const char* lock_path, const char* progress_path) {
  release();
  HANDLE h = open_handle(lock_path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
  // A lock file another account made: a read handle locks it as well.
  if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) h = open_handle(lock_path, GENERIC_READ, OPEN_EXISTING);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    // A directory the account may not write, where no lock file was made for it.
    const bool no_file_here = error == ERROR_ACCESS_DENIED || error == ERROR_FILE_NOT_FOUND ||
                              error == ERROR_PATH_NOT_FOUND || error == ERROR_WRITE_PROTECT;
    return no_file_here ? Turn::per_file : Turn::failed;
  }
  handle_ = h;
  const Locked locked = GetFileType(h) == FILE_TYPE_DISK ? lock_bounded(h, progress_path) : Locked::timed_out;
  if (locked == Locked::yes) return Turn::taken;
  release();
  return locked == Locked::unsupported ? Turn::per_file : Turn::unavailable;
}

void RunLock::release() { close_locked(handle_); }

LockedFile::~LockedFile() { close(); }

void LockedFile::close() {
  close_locked(handle_);
  readable_ = false;
  writable_ = false;
  in_place_ = false;
  offset_ = 0;
  size_ = 0;
}

namespace {

// Only a failing disk or network makes a file "failed"; anything else that
// keeps it from opening (no file, no rights, a device) makes it absent.
FileOpen open_failure(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_ACCESS_DENIED:
    case ERROR_INVALID_NAME:
    case ERROR_SHARING_VIOLATION:
      return FileOpen::absent;
    default:
      return FileOpen::failed;
  }
}

}  // namespace

FileOpen LockedFile::open_once(Access access, bool run_locked) {
  // Without the run lock a writer locks the file itself. Nothing then replaces
  // it, so the re-check below fails only when an administrator swapped the
  // file meanwhile, and the loop takes the new one.
  for (;;) {
    const HANDLE h = open_for(path_, access, readable_, writable_);
    if (h == INVALID_HANDLE_VALUE) {
      const FileOpen result = names_device(path_) ? FileOpen::absent : open_failure(GetLastError());
      close();
      return result;
    }
    handle_ = h;
    LARGE_INTEGER size{};
    if (GetFileType(h) != FILE_TYPE_DISK || GetFileSizeEx(h, &size) == FALSE || size.QuadPart < 0) {
      close();
      return FileOpen::absent;
    }
    size_ = static_cast<std::size_t>(size.QuadPart);
    in_place_ = writable_ && !run_locked;
    if (!in_place_) return FileOpen::ok;
    const Locked locked = lock_bounded(h, path_);
    // Where locks are not supported the run goes on unlocked rather than fail.
    if (locked == Locked::unsupported) return FileOpen::ok;
    if (locked == Locked::timed_out) {
      // A stuck writer: a counter is shown, not stored; the log cannot be written.
      writable_ = in_place_ = false;
      return access == Access::update ? FileOpen::ok : FileOpen::failed;
    }
    if (names_file(path_, h)) return FileOpen::ok;
    close();
  }
}

bool LockedFile::same_file(const LockedFile& other) const {
  BY_HANDLE_FILE_INFORMATION a{};
  BY_HANDLE_FILE_INFORMATION b{};
  const HANDLE mine = as_handle(handle_);
  const HANDLE theirs = as_handle(other.handle_);
  return mine != INVALID_HANDLE_VALUE && theirs != INVALID_HANDLE_VALUE && GetFileInformationByHandle(mine, &a) != FALSE &&
         GetFileInformationByHandle(theirs, &b) != FALSE && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
         a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

long LockedFile::read(char* buf, std::size_t cap) {
  const HANDLE h = as_handle(handle_);
  if (h == INVALID_HANDLE_VALUE || !readable_) return 0;
  const DWORD want = cap > MAXDWORD ? MAXDWORD : static_cast<DWORD>(cap);
  DWORD got = 0;
  if (ReadFile(h, buf, want, &got, nullptr) == FALSE) return -1;
  offset_ += got;
  return static_cast<long>(got);
}

bool LockedFile::replace(const char* data, std::size_t len, std::size_t pad_to) {
  const HANDLE h = as_handle(handle_);
  if (h == INVALID_HANDLE_VALUE || !writable_) return false;
  // open() made sure the suffix fits.
  char temp[sizeof path_ + sizeof kTempSuffix];
  std::snprintf(temp, sizeof temp, "%s%s", path_, kTempSuffix);
  if (!in_place_) {
    const Replaced replaced = replace_by_temp(h, path_, temp, data, len);
    if (replaced != Replaced::not_here) return replaced == Replaced::done;
  }
  // No temporary file here (a directory the account may not write, rights
  // that cannot be carried over), or no rename over an open file.
  return rewrite_in_place(data, len, pad_to);
}

bool LockedFile::rewrite_in_place(const char* data, std::size_t len, std::size_t pad_to) {
  const HANDLE h = as_handle(handle_);
  LARGE_INTEGER size{};
  if (GetFileSizeEx(h, &size) == FALSE || size.QuadPart < 0) return false;
  const auto write_at_start = [h](const char* bytes, std::size_t n) {
    return SetFilePointer(h, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER && write_all(h, bytes, n);
  };
  const auto cut = [h](std::size_t n) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(n);
    return SetFilePointerEx(h, at, nullptr, FILE_BEGIN) != FALSE && SetEndOfFile(h) != FALSE;
  };
  return platform::rewrite_in_place(static_cast<std::size_t>(size.QuadPart), data, len, pad_to, write_at_start, cut);
}

// Read access only: web servers run CGI under accounts that may not open the
// key with full access, and nothing here writes to it.
VersionKey::VersionKey() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kVersionKeyPath, 0, KEY_READ, &key) == ERROR_SUCCESS) key_ = key;
}

VersionKey::~VersionKey() {
  if (key_ != nullptr) RegCloseKey(static_cast<HKEY>(key_));
}

void VersionKey::read_version_value(const char* name, char* out, std::size_t cap) const {
  if (cap == 0) return;
  out[0] = '\0';
  if (key_ == nullptr) return;
  const HKEY key = static_cast<HKEY>(key_);
  DWORD type = REG_NONE;
  DWORD size = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return;
  if ((type != REG_SZ && type != REG_EXPAND_SZ) || size > kMaxValueBytes) return;
  static BYTE data[kMaxValueBytes + 1];
  size = kMaxValueBytes;  // a value grown since the first query must not overflow
  if (RegQueryValueExA(key, name, nullptr, &type, data, &size) != ERROR_SUCCESS) return;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return;
  // Stored text need not end in a zero byte; references stay unexpanded.
  data[size] = 0;
  const char* text = reinterpret_cast<const char*>(data);
  std::snprintf(out, cap, "%s", text);
}

}  // namespace platform
