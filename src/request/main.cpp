#include "platform/platform.h"
#include "request/request.h"

int main(int argc, char** argv) {
  // Resident under a FastCGI server; otherwise one CGI or console run.
  static const platform::RequestSteps steps{read_request, serve_turn, answer_request};
  if (platform::started_by_fastcgi()) return platform::serve_fastcgi(argc > 0 ? argv[0] : nullptr, steps);
  return run_request(argc, argv);
}
