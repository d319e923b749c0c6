#include "request/text_file.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "request/request.h"

// Line ends are also found with AVX2 where the processor has it; not on
// Windows, where MinGW's GCC does not align the stack for AVX (GCC bug 54412).
#if defined(__x86_64__) && !defined(_WIN32)
#define LUMICOUNT_AVX2_SCAN 1
#include <immintrin.h>
#endif

namespace {

constexpr char kEndOfFile = 0x1A;

// File bytes on their way in or out, one buffer for both: fewer pages to
// fault in on every hit. Every character of the log text may be a line end
// that grows to two bytes, and a whole log is read in one call.
char file_bytes[2 * kLogTextSize];

// Copies in[0, span) to out up to the first byte stop or also_stop; returns the
// bytes copied. A memchr pass for each byte value, then the copy.
std::size_t copy_until_memchr(char* out, const char* in, std::size_t span, char stop, char also_stop) {
  const char* end = in + span;
  if (const void* hit = std::memchr(in, stop, span)) end = static_cast<const char*>(hit);
  const void* hit = also_stop != stop ? std::memchr(in, also_stop, static_cast<std::size_t>(end - in)) : nullptr;
  if (hit != nullptr) end = static_cast<const char*>(hit);
  std::memcpy(out, in, static_cast<std::size_t>(end - in));
  return static_cast<std::size_t>(end - in);
}

#ifdef LUMICOUNT_AVX2_SCAN
constexpr std::size_t kAvx2Step = 2 * sizeof(__m256i);

// Copies the 64 bytes at in + i to out + i; one mask bit for each stop byte among them.
__attribute__((target("avx2"))) std::uint64_t copy_step(char* out, const char* in, std::size_t i, __m256i stop,
                                                        __m256i also_stop) {
  std::uint64_t marks = 0;
  for (std::size_t half = 0; half < 2; ++half) {
    const std::size_t at = i + half * sizeof(__m256i);
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + at));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + at), bytes);
    const __m256i hits = _mm256_or_si256(_mm256_cmpeq_epi8(bytes, stop), _mm256_cmpeq_epi8(bytes, also_stop));
    marks |= std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(hits))} << (half * sizeof(__m256i));
  }
  return marks;
}

// The same for a span of at least one step, in a single pass: a log line costs
// half the instructions of memchr twice and memcpy. A step is stored before it
// is tested, so out may take bytes past the stop, never past out + span.
__attribute__((target("avx2"))) std::size_t copy_until_avx2(char* out, const char* in, std::size_t span,
                                                           char stop, char also_stop) {
  const __m256i first = _mm256_set1_epi8(stop);
  const __m256i second = _mm256_set1_epi8(also_stop);
  // The last step ends at span, repeating bytes already found plain.
  const std::size_t last = span - kAvx2Step;
  for (std::size_t i = 0; i < last; i += kAvx2Step) {
    const std::uint64_t marks = copy_step(out, in, i, first, second);
    if (marks != 0) return i + static_cast<std::size_t>(__builtin_ctzll(marks));
  }
  const std::uint64_t marks = copy_step(out, in, last, first, second);
  return marks != 0 ? last + static_cast<std::size_t>(__builtin_ctzll(marks)) : span;
}

bool cpu_has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}
const bool has_avx2 = cpu_has_avx2();
#endif

std::size_t copy_until(char* out, const char* in, std::size_t span, char stop, char also_stop) {
#ifdef LUMICOUNT_AVX2_SCAN
  if (has_avx2 && span >= kAvx2Step) return copy_until_avx2(out, in, span, stop, also_stop);
#endif
  return copy_until_memchr(out, in, span, stop, also_stop);
}

}  // namespace

bool TextReader::refill() {
  if (pos_ < len_) return true;
  if (ended_) return false;
  const long got = file_.read(file_bytes, sizeof file_bytes);
  pos_ = 0;
  len_ = got > 0 ? static_cast<std::size_t>(got) : 0;
  failed_ = got < 0;
  // The size the file had when opened marks its end: no second call to learn that.
  ended_ = got <= 0 || file_.at_end();
  // 0x1A ends the file: what follows it is never read.
  if (const void* end = std::memchr(file_bytes, kEndOfFile, len_)) {
    len_ = static_cast<std::size_t>(static_cast<const char*>(end) - file_bytes);
    ended_ = true;
  }
  return len_ > 0;
}

// Whole runs of plain bytes are copied at once: the log is read on every hit.
std::size_t TextReader::read_line(char* out, std::size_t max_chars) {
  std::size_t n = 0;
  while (n < max_chars && refill()) {
    const std::size_t span = std::min(len_ - pos_, max_chars - n);
    const std::size_t plain = copy_until(out + n, file_bytes + pos_, span, '\n', '\r');
    n += plain;
    pos_ += plain;
    if (n == max_chars || pos_ == len_) continue;
    // A CR is dropped; an LF, or the usual CR LF, ends the line at once.
    if (file_bytes[pos_++] == '\r') {
      if (pos_ == len_ || file_bytes[pos_] != '\n') continue;
      ++pos_;
    }
    out[n++] = '\n';
    break;
  }
  out[n] = '\0';
  return n;
}

bool write_text_file(platform::LockedFile& file, const char* text, std::size_t len) {
  if (len > kLogTextSize) return false;
  std::size_t n = 0;
  const char* end = text + len;
  while (text < end) {
    const std::size_t plain = copy_until(file_bytes + n, text, static_cast<std::size_t>(end - text), '\n', '\n');
    n += plain;
    text += plain;
    if (text < end) {
      file_bytes[n++] = '\r';
      file_bytes[n++] = '\n';
      ++text;
    }
  }
  return file.replace(file_bytes, n, 0);
}
