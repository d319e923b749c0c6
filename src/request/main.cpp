#include "request/request.h"

int main(int argc, char** argv) { return run_request(argc, argv); }
