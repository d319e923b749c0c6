/* The floor of any CGI request: start, answer a bare header, exit. */
#include <stdio.h>

int main(void) {
  fputs("Content-type: image/gif\n\n", stdout);
  return 0;
}
