/* The floor of any CGI request: start, answer a bare header, exit. Built with
 * FASTCGI (and -lfcgi), the floor of any resident FastCGI request: answer a bare
 * header to each request. */
#include <stdio.h>
#ifdef FASTCGI
#include <fcgiapp.h>
#endif

static const char kAnswer[] = "Content-type: image/gif\n\n";

#ifdef FASTCGI
int main(void) {
  FCGX_Stream *in, *out, *err;
  FCGX_ParamArray params;
  while (FCGX_Accept(&in, &out, &err, &params) >= 0) FCGX_PutS(kAnswer, out);
  return 0;
}
#else
int main(void) {
  fputs(kAnswer, stdout);
  return 0;
}
#endif
