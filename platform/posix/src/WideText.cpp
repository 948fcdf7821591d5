// MultiByteToWideChar and WideCharToMultiByte for code page 932 and UTF-8.
// WCHAR elements hold UTF-16 code units, as on Windows.
#include <windows.h>

#include <errno.h>
#include <iconv.h>
#include <string.h>

#include <string>

namespace {

const char* IconvName(UINT codePage) {
  switch (codePage) {
    case 932: return "CP932";
    case CP_UTF8: return "UTF-8";
    default: return nullptr;
  }
}

// Converts all of `in`; false when a byte sequence does not convert.
bool Convert(const char* to, const char* from, const std::string& in, std::string& out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string copy = in;
  char* inp = copy.data();
  size_t inLeft = copy.size();
  char buf[1024];
  bool ok = true;
  while (inLeft > 0) {
    char* outp = buf;
    size_t outLeft = sizeof buf;
    size_t r = iconv(cd, &inp, &inLeft, &outp, &outLeft);
    out.append(buf, static_cast<size_t>(outp - buf));
    if (r == static_cast<size_t>(-1) && errno != E2BIG) {
      ok = false;
      break;
    }
  }
  iconv_close(cd);
  return ok;
}

}  // namespace

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
  const char* name = IconvName(CodePage);
  if (name == nullptr || lpMultiByteStr == nullptr || cbMultiByte == 0 || cchWideChar < 0 ||
      (cchWideChar > 0 && lpWideCharStr == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string in = cbMultiByte < 0 ? std::string(lpMultiByteStr, strlen(lpMultiByteStr) + 1)
                                   : std::string(lpMultiByteStr, static_cast<size_t>(cbMultiByte));
  std::string units;
  if (!Convert("UTF-16LE", name, in, units)) {
    if ((dwFlags & MB_ERR_INVALID_CHARS) != 0) {
      SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return 0;
    }
    // Convert piece by piece, each byte that does not read as one U+FFFD.
    units.clear();
    size_t pos = 0;
    while (pos < in.size()) {
      size_t take = 1;
      std::string piece;
      while (take <= 4 && pos + take <= in.size() && !Convert("UTF-16LE", name, in.substr(pos, take), piece)) {
        piece.clear();
        ++take;
      }
      if (take > 4 || pos + take > in.size()) {
        units += std::string("\xFD\xFF", 2);
        ++pos;
      } else {
        units += piece;
        pos += take;
      }
    }
  }
  int count = static_cast<int>(units.size() / 2);
  if (cchWideChar == 0) return count;
  if (count > cchWideChar) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  for (int i = 0; i < count; ++i) {
    lpWideCharStr[i] = static_cast<WCHAR>(static_cast<unsigned char>(units[2 * i]) |
                                          (static_cast<unsigned char>(units[2 * i + 1]) << 8));
  }
  return count;
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                               LPBOOL lpUsedDefaultChar) {
  (void)dwFlags;
  const char* name = IconvName(CodePage);
  if (name == nullptr || lpWideCharStr == nullptr || cchWideChar == 0 || cbMultiByte < 0 ||
      (cbMultiByte > 0 && lpMultiByteStr == nullptr) ||
      (CodePage == CP_UTF8 && (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t length = 0;
  if (cchWideChar < 0) {
    while (lpWideCharStr[length] != 0) ++length;
    ++length;
  } else {
    length = static_cast<size_t>(cchWideChar);
  }
  if (lpUsedDefaultChar != nullptr) *lpUsedDefaultChar = FALSE;
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    // One character at a time, a surrogate pair together.
    std::string units;
    unsigned unit = static_cast<unsigned>(lpWideCharStr[i]) & 0xFFFF;
    units.push_back(static_cast<char>(unit & 0xFF));
    units.push_back(static_cast<char>(unit >> 8));
    if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < length) {
      unsigned low = static_cast<unsigned>(lpWideCharStr[i + 1]) & 0xFFFF;
      if (low >= 0xDC00 && low < 0xE000) {
        units.push_back(static_cast<char>(low & 0xFF));
        units.push_back(static_cast<char>(low >> 8));
        ++i;
      }
    }
    std::string piece;
    if (!Convert(name, "UTF-16LE", units, piece)) {
      piece = CodePage == CP_UTF8 ? "\xEF\xBF\xBD" : (lpDefaultChar != nullptr ? std::string(1, *lpDefaultChar) : "?");
      if (lpUsedDefaultChar != nullptr) *lpUsedDefaultChar = TRUE;
    }
    out += piece;
  }
  int count = static_cast<int>(out.size());
  if (cbMultiByte == 0) return count;
  if (count > cbMultiByte) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  memcpy(lpMultiByteStr, out.data(), out.size());
  return count;
}
