// Code page 932 to UTF-8 through glibc's iconv.
#include <iconv.h>

#include "host/LogViewer.h"

bool Cp932ToUtf8(const std::string& text, std::string& utf8) {
  iconv_t cd = iconv_open("UTF-8", "CP932");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string in = text;
  utf8.assign(text.size() * 3 + 4, '\0');
  char* inp = &in[0];
  size_t inLeft = in.size();
  char* outp = &utf8[0];
  size_t outLeft = utf8.size();
  bool ok = iconv(cd, &inp, &inLeft, &outp, &outLeft) != static_cast<size_t>(-1);
  iconv_close(cd);
  utf8.resize(utf8.size() - outLeft);
  return ok && inLeft == 0;
}
