// Builds without libfcgi (LUMICOUNT_FASTCGI=OFF, and the Windows build) run as CGI only.
#include <cstdio>

#include "platform/platform.h"

namespace platform {

int serve_fastcgi(char*, const RequestSteps&) {
  std::fputs("lumicount: built without FastCGI support (LUMICOUNT_FASTCGI=OFF); run it as a CGI program\n", stderr);
  return 1;
}

}  // namespace platform
