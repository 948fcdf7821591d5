// The profile reader and the settings load on any INI file: lists cut at
// any size stay inside their buffers, and a load ends.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <string>
#include <vector>

#include "config/Settings.h"

namespace {

std::string IniPath() {
  static std::string path = [] {
    char dir[] = "/tmp/kestrelon-fuzz-XXXXXX";
    if (mkdtemp(dir) == nullptr) abort();
    return std::string(dir) + "/Kestrelon.ini";
  }();
  return path;
}

void CheckList(const char* section, DWORD room, const std::string& ini) {
  std::vector<char> buffer(room + 8, 'G');
  const DWORD n = GetPrivateProfileStringA(section, nullptr, "", buffer.data(), room, ini.c_str());
  if (n >= room && room > 0) abort();
  for (size_t i = room; i < buffer.size(); ++i)
    if (buffer[i] != 'G') abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string ini = IniPath();
  FILE* f = fopen(ini.c_str(), "wb");
  if (f == nullptr) abort();
  fwrite(data + 1, 1, size - 1, f);
  fclose(f);
  const DWORD room = data[0] % 48;
  CheckList(nullptr, room, ini);
  CheckList("Folder", room, ini);
  std::vector<char> value(room + 8, 'G');
  GetPrivateProfileStringA("Property", "ServiceHost", "dflt  ", value.data(), room, ini.c_str());
  for (size_t i = room; i < value.size(); ++i)
    if (value[i] != 'G') abort();
  GetPrivateProfileIntA("Folder", "Count", 0, ini.c_str());
  CSettings settings;
  settings.iniPath = ini;
  settings.Load();
  return 0;
}
