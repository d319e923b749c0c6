// Rewriting a file in place, where no new file can be renamed over it, in
// steps that each leave content every reader takes as the old or the new: a
// byte 0x1A ends a text for every reader, and leading zeros leave a count as it is.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace platform {

constexpr char kTextEnd = 0x1A;
// Room for the largest log text with its line ends and the end byte.
constexpr std::size_t kStagingSize = std::size_t{1} << 17;

// write_at_start(bytes, n) writes n bytes at offset 0 in one call; cut(n) ends the file there.
template <typename WriteAtStart, typename Cut>
bool rewrite_in_place(std::size_t old_size, const char* data, std::size_t len, std::size_t pad_to,
                      WriteAtStart write_at_start, Cut cut) {
  static char staging[kStagingSize];
  if (len >= sizeof staging || pad_to > sizeof staging) return false;
  // Growing: the old content lies wholly under the new.
  if (len >= old_size) return write_at_start(data, len);
  const std::size_t padded = std::min(old_size, pad_to);
  if (padded > len) {
    std::memset(staging, '0', padded - len);
    std::memcpy(staging + (padded - len), data, len);
    if (!write_at_start(staging, padded)) return false;
  }
  std::memcpy(staging, data, len);
  staging[len] = kTextEnd;
  return write_at_start(staging, len + 1) && cut(len);
}

}  // namespace platform
