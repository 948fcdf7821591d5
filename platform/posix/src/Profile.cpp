// The profile (INI) functions. Section and key names compare without regard
// to case, names and values are trimmed, and a write keeps every other line
// of the file (other sections, keys, comments) as it was. A write builds the
// new file beside the old one and renames it over, so a crash never leaves
// half an INI file behind.
#include <windows.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <vector>

#include "Internal.h"

namespace {

std::mutex profileLock;

struct IniFile {
  std::vector<std::string> lines;  // without their line ends
  std::string newline = "\r\n";    // kept from the file when it has one
};

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

bool SameName(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

bool ReadIni(const char* path, IniFile& ini) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string data = ss.str();
  size_t lf = data.find('\n');
  if (lf != std::string::npos && (lf == 0 || data[lf - 1] != '\r')) ini.newline = "\n";
  size_t start = 0;
  while (start < data.size()) {
    size_t end = data.find('\n', start);
    std::string line = data.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    ini.lines.push_back(line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return true;
}

// A section header's name, or nothing for any other line.
std::optional<std::string> SectionName(const std::string& line) {
  std::string t = Trim(line);
  if (t.size() < 2 || t.front() != '[') return std::nullopt;
  size_t close = t.find(']');
  if (close == std::string::npos) return std::nullopt;
  return Trim(t.substr(1, close - 1));
}

bool IsComment(const std::string& line) {
  std::string t = Trim(line);
  return !t.empty() && t[0] == ';';
}

// Key and value of a "key=value" line (a line without "=" is a key with an
// empty value, as Windows reads it).
bool SplitEntry(const std::string& line, std::string& key, std::string& value) {
  if (IsComment(line) || SectionName(line) || Trim(line).empty()) return false;
  size_t eq = line.find('=');
  key = Trim(line.substr(0, eq));
  value = eq == std::string::npos ? std::string() : Trim(line.substr(eq + 1));
  return true;
}

std::string Unquote(const std::string& v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    return v.substr(1, v.size() - 2);
  return v;
}

// Index range [first, last) of a section's body; first is npos when absent.
struct Range {
  size_t header = std::string::npos;
  size_t first = std::string::npos;
  size_t last = std::string::npos;
};

Range FindSection(const IniFile& ini, const char* section) {
  Range r;
  for (size_t i = 0; i < ini.lines.size(); ++i) {
    auto name = SectionName(ini.lines[i]);
    if (!name) continue;
    if (r.first != std::string::npos) {
      r.last = i;
      return r;
    }
    if (SameName(*name, section)) {
      r.header = i;
      r.first = i + 1;
    }
  }
  if (r.first != std::string::npos) r.last = ini.lines.size();
  return r;
}

std::optional<std::string> Lookup(const IniFile& ini, const char* section, const char* key) {
  Range r = FindSection(ini, section);
  if (r.first == std::string::npos) return std::nullopt;
  for (size_t i = r.first; i < r.last; ++i) {
    std::string k, v;
    if (SplitEntry(ini.lines[i], k, v) && SameName(k, key)) return Unquote(v);
  }
  return std::nullopt;
}

// A double-NUL-terminated list, as Windows returns for a null name. A list
// that does not fit is cut, ends in two NULs inside the buffer, and the
// result is the size less 2.
DWORD CopyList(const std::vector<std::string>& items, char* buf, DWORD size) {
  if (size < 2) {
    if (size == 1) buf[0] = '\0';
    return 0;
  }
  auto cut = [&] {
    buf[size - 2] = '\0';
    buf[size - 1] = '\0';
    return size - 2;
  };
  DWORD pos = 0;
  for (const std::string& item : items) {
    for (char c : item) {
      if (pos + 2 >= size) return cut();  // room for the character and a NUL after it
      buf[pos++] = c;
    }
    if (pos + 1 >= size) return cut();  // an empty item: no room for its NUL and the last
    buf[pos++] = '\0';
  }
  buf[pos] = '\0';
  return pos;
}

bool WriteIniAtomically(const char* path, const IniFile& ini) {
  std::string data;
  for (const std::string& line : ini.lines) data += line + ini.newline;
  std::string tmp = std::string(path) + ".tmp." + std::to_string(getpid());
  FILE* f = fopen(tmp.c_str(), "wb");
  if (f == nullptr) return kwin32::FailWithErrno(errno);
  bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
  ok = (fflush(f) == 0) && ok;
  ok = (fsync(fileno(f)) == 0) && ok;
  int err = errno;
  fclose(f);
  if (!ok || rename(tmp.c_str(), path) != 0) {
    if (ok) err = errno;
    unlink(tmp.c_str());
    return kwin32::FailWithErrno(err);
  }
  return TRUE;
}

}  // namespace

DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault, LPSTR lpReturnedString,
                                      DWORD nSize, LPCSTR lpFileName) {
  if (lpReturnedString == nullptr || nSize == 0 || lpFileName == nullptr) return 0;
  std::lock_guard<std::mutex> lock(profileLock);
  IniFile ini;
  bool exists = ReadIni(lpFileName, ini);
  if (lpAppName == nullptr) {
    std::vector<std::string> names;
    for (const std::string& line : ini.lines)
      if (auto n = SectionName(line); n && !n->empty()) names.push_back(*n);  // "[]" is no name, as on Windows
    return CopyList(names, lpReturnedString, nSize);
  }
  if (lpKeyName == nullptr) {
    std::vector<std::string> keys;
    Range r = FindSection(ini, lpAppName);
    for (size_t i = r.first; r.first != std::string::npos && i < r.last; ++i) {
      std::string k, v;
      if (SplitEntry(ini.lines[i], k, v)) keys.push_back(k);
    }
    return CopyList(keys, lpReturnedString, nSize);
  }
  std::optional<std::string> value = exists ? Lookup(ini, lpAppName, lpKeyName) : std::nullopt;
  if (!value) {
    // The default loses its trailing blanks, as on Windows.
    std::string def = lpDefault ? lpDefault : "";
    def.erase(def.find_last_not_of(' ') + 1);
    value = def;
    SetLastError(ERROR_FILE_NOT_FOUND);
  } else {
    SetLastError(ERROR_SUCCESS);
  }
  return kwin32::CopyToBuffer(*value, lpReturnedString, nSize);
}

UINT WINAPI GetPrivateProfileIntA(LPCSTR lpAppName, LPCSTR lpKeyName, INT nDefault, LPCSTR lpFileName) {
  char buf[64];
  if (GetPrivateProfileStringA(lpAppName, lpKeyName, "", buf, sizeof buf, lpFileName) == 0)
    return static_cast<UINT>(nDefault);
  // Leading decimal digits with an optional sign; anything else reads as 0.
  const char* p = buf;
  bool negative = false;
  if (*p == '-' || *p == '+') negative = (*p++ == '-');
  long long v = 0;
  while (*p >= '0' && *p <= '9') {
    v = v * 10 + (*p++ - '0');
    if (v > 0xFFFFFFFFLL) v &= 0xFFFFFFFFLL;
  }
  return static_cast<UINT>(negative ? -v : v);
}

BOOL WINAPI WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString, LPCSTR lpFileName) {
  if (lpAppName == nullptr || lpFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(profileLock);
  IniFile ini;
  ReadIni(lpFileName, ini);
  Range r = FindSection(ini, lpAppName);

  if (lpKeyName == nullptr) {  // remove the whole section
    if (r.header == std::string::npos) return TRUE;
    ini.lines.erase(ini.lines.begin() + static_cast<long>(r.header), ini.lines.begin() + static_cast<long>(r.last));
    return WriteIniAtomically(lpFileName, ini);
  }

  if (r.header == std::string::npos) {
    if (lpString == nullptr) return TRUE;
    if (!ini.lines.empty() && !Trim(ini.lines.back()).empty()) ini.lines.push_back("");
    ini.lines.push_back(std::string("[") + lpAppName + "]");
    ini.lines.push_back(std::string(lpKeyName) + "=" + lpString);
    return WriteIniAtomically(lpFileName, ini);
  }

  size_t lastEntry = r.header;
  for (size_t i = r.first; i < r.last; ++i) {
    std::string k, v;
    if (!SplitEntry(ini.lines[i], k, v)) continue;
    lastEntry = i;
    if (!SameName(k, lpKeyName)) continue;
    if (lpString == nullptr)
      ini.lines.erase(ini.lines.begin() + static_cast<long>(i));
    else
      ini.lines[i] = k + "=" + lpString;
    return WriteIniAtomically(lpFileName, ini);
  }
  if (lpString == nullptr) return TRUE;
  // A new key goes after the section's last entry, before trailing blanks.
  ini.lines.insert(ini.lines.begin() + static_cast<long>(lastEntry + 1), std::string(lpKeyName) + "=" + lpString);
  return WriteIniAtomically(lpFileName, ini);
}

// Replaces every line of a section's body with the "key=value" strings of a
// double-NUL-terminated list; creates the section when it is missing. One
// rewrite of the file for a whole table instead of one per key.
BOOL WINAPI WritePrivateProfileSectionA(LPCSTR lpAppName, LPCSTR lpString, LPCSTR lpFileName) {
  if (lpAppName == nullptr || lpFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (lpString == nullptr) return WritePrivateProfileStringA(lpAppName, nullptr, nullptr, lpFileName);
  std::vector<std::string> entries;
  for (const char* p = lpString; *p != '\0'; p += strlen(p) + 1) entries.emplace_back(p);
  std::lock_guard<std::mutex> lock(profileLock);
  IniFile ini;
  ReadIni(lpFileName, ini);
  Range r = FindSection(ini, lpAppName);
  if (r.header == std::string::npos) {
    if (!ini.lines.empty() && !Trim(ini.lines.back()).empty()) ini.lines.push_back("");
    ini.lines.push_back(std::string("[") + lpAppName + "]");
    ini.lines.insert(ini.lines.end(), entries.begin(), entries.end());
    return WriteIniAtomically(lpFileName, ini);
  }
  // The entries give way to the new ones, which take the place of the
  // first; comments and blank lines of the section stay where they were.
  size_t at = std::string::npos;
  std::vector<std::string> body;
  for (size_t i = r.first; i < r.last; ++i) {
    std::string k, v;
    if (!SplitEntry(ini.lines[i], k, v)) {
      body.push_back(ini.lines[i]);
      continue;
    }
    if (at == std::string::npos) at = body.size();
  }
  if (at == std::string::npos) at = 0;
  body.insert(body.begin() + static_cast<long>(at), entries.begin(), entries.end());
  ini.lines.erase(ini.lines.begin() + static_cast<long>(r.first), ini.lines.begin() + static_cast<long>(r.last));
  ini.lines.insert(ini.lines.begin() + static_cast<long>(r.first), body.begin(), body.end());
  return WriteIniAtomically(lpFileName, ini);
}

// The section's entries as a double-NUL-terminated list of "key=value"
// strings, comments left out.
DWORD WINAPI GetPrivateProfileSectionA(LPCSTR lpAppName, LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName) {
  if (lpAppName == nullptr || lpReturnedString == nullptr || lpFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<std::mutex> lock(profileLock);
  IniFile ini;
  ReadIni(lpFileName, ini);
  Range r = FindSection(ini, lpAppName);
  std::vector<std::string> entries;
  for (size_t i = r.first; r.first != std::string::npos && i < r.last; ++i) {
    std::string k, v;
    if (!SplitEntry(ini.lines[i], k, v)) continue;
    entries.push_back(ini.lines[i].find('=') == std::string::npos ? k : k + "=" + v);
  }
  return CopyList(entries, lpReturnedString, nSize);
}
