#include "Settings.h"

#include <string.h>
#include <strings.h>
#include <windows.h>

#include <ctype.h>
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

#include "config/DecimalNumber.h"

namespace {

const char kEntryPath[] = "/svcs/hotmail/httpmail.asp";

const char kProperty[] = "Property";
const char kFolder[] = "Folder";
const char kFolderSpecial[] = "FolderSpecial";
const char kFolderDisplay[] = "FolderDisplay";
const char kFolderDownLoad[] = "FolderDownLoad";
constexpr DWORD kValueBuffer = 1024;  // ids and names are cut to 1,023 characters
constexpr size_t kMaxSection = 32767;  // the most one section call takes on every Windows

struct NumberRange {
  int low;
  int high;
};
constexpr NumberRange kPort{1, 65535};
constexpr NumberRange kPortOrOff{0, 65535};  // 0: that server is off
constexpr NumberRange kSeconds{0, 86400};
constexpr NumberRange kThreads{1, 64};
constexpr NumberRange kMegabytes{0, 1024 * 1024};
constexpr NumberRange kAnyNumber{INT_MIN, INT_MAX};  // flags, modes with an "other" meaning

std::string ReadString(const char* section, const char* key, const char* def, const std::string& ini) {
  char buf[kValueBuffer];
  GetPrivateProfileStringA(section, key, def, buf, kValueBuffer, ini.c_str());
  return buf;
}

// The one reader of the INI file's numbers: a whole decimal number within
// the key's range, else the default, and the refused text is kept for the
// log and the host. A missing or empty value is the default, as for the
// profile functions.
int ReadNumber(const char* section, const char* key, int def, NumberRange range, const std::string& ini,
               std::vector<CSettings::Refusal>& refused) {
  const std::string text = ReadString(section, key, "", ini);
  if (text.empty()) return def;
  const char* cursor = text.c_str();
  int value = 0;
  if (ReadDecimal(cursor, value)) {
    while (*cursor == ' ' || *cursor == '\t') ++cursor;
    if (*cursor == '\0' && value >= range.low && value <= range.high) return value;
  }
  const std::string name = strcmp(section, kProperty) == 0 ? key : "[" + std::string(section) + "] " + key;
  refused.push_back({name, text, range.low, range.high, def});
  return def;
}

void WriteString(const char* section, const char* key, const std::string& value, const std::string& ini) {
  WritePrivateProfileStringA(section, key, value.c_str(), ini.c_str());
}

void WriteInt(const char* section, const char* key, int value, const std::string& ini) {
  WriteString(section, key, std::to_string(value), ini);
}

void WriteFlag(const char* section, const char* key, bool value, const std::string& ini) {
  WriteString(section, key, value ? "1" : "0", ini);
}

// The record numbers below `count` that have a key in [Folder], in order:
// a count far beyond the keys present costs nothing.
std::vector<int> FolderRecordNumbers(int count, const std::string& ini) {
  std::vector<char> keys(4096);
  for (;;) {
    const DWORD n = GetPrivateProfileStringA(kFolder, nullptr, "", keys.data(), static_cast<DWORD>(keys.size()),
                                             ini.c_str());
    if (n + 2 < keys.size()) break;
    keys.resize(keys.size() * 2);
  }
  std::set<int> numbers;
  for (const char* key = keys.data(); *key != '\0'; key += strlen(key) + 1) {
    const int number = atoi(key);
    if (number >= 0 && number < count && std::to_string(number) == key) numbers.insert(number);
  }
  return std::vector<int>(numbers.begin(), numbers.end());
}

using Entries = std::vector<std::pair<std::string, std::string>>;

// The entries of a section as the profile functions list them.
Entries ReadSection(const char* section, const std::string& ini) {
  std::vector<char> buf(kMaxSection + 1);
  for (;;) {
    const DWORD n = GetPrivateProfileSectionA(section, buf.data(), static_cast<DWORD>(buf.size()), ini.c_str());
    if (n + 2 < buf.size()) break;
    buf.resize(buf.size() * 2);  // cut short: ask again with more room
  }
  Entries entries;
  for (const char* p = buf.data(); *p != '\0'; p += strlen(p) + 1) {
    const char* eq = strchr(p, '=');
    if (eq == nullptr)
      entries.emplace_back(p, "");
    else
      entries.emplace_back(std::string(p, eq), std::string(eq + 1));
  }
  return entries;
}

// Writes keys as WritePrivateProfileString would one by one (a key the
// section has keeps its place, a new one is appended, every other key
// stays), in one rewrite of the file instead of one per key.
void MergeSection(const char* section, const Entries& updates, const std::string& ini) {
  if (updates.empty()) return;
  Entries entries = ReadSection(section, ini);
  for (const auto& update : updates) {
    auto same = std::find_if(entries.begin(), entries.end(), [&](const std::pair<std::string, std::string>& e) {
      return strcasecmp(e.first.c_str(), update.first.c_str()) == 0;
    });
    if (same != entries.end())
      same->second = update.second;
    else
      entries.push_back(update);
  }
  std::string list;
  for (const auto& e : entries) list += e.first + "=" + e.second + '\0';
  list += '\0';
  if (list.size() < kMaxSection) {
    WritePrivateProfileSectionA(section, list.c_str(), ini.c_str());
    return;
  }
  for (const auto& update : updates) WriteString(section, update.first.c_str(), update.second, ini);
}

}  // namespace

CSettings::CSettings()
    : doNotUseProxy(false),
      onlyNotRead(false),
      popPortNumber(6110),
      smtpPortNumber(6025),
      imapPortNumber(6143),
      imapCacheSize(256),
      threadCount(1),
      httpTimeOut(15),
      idleTimeOut(600),
      deleteMode(1),
      log(false),
      userAgent("Outlook-Express/5.5 (MSIE 5.5; Windows NT 5.0; COM+ 1.0.2204; TmstmpExt)"),
      deleteTarget("deleteditems"),
      serviceHost("services.msn.com"),
      serviceNamespace("http://schemas.microsoft.com/hotmail/") {}

CSettings::~CSettings() {}

void CSettings::Load() {
  refused.clear();
  auto number = [&](const char* key, int def, NumberRange range) {
    return ReadNumber(kProperty, key, def, range, iniPath, refused);
  };
  popPortNumber = number("POPPortNumber", 6110, kPort);
  smtpPortNumber = number("SMTPPortNumber", 6025, kPort);
  // Not in the setup dialog, and so not saved: set by hand in the INI file.
  imapPortNumber = number("IMAPPortNumber", 6143, kPortOrOff);
  imapCacheSize = number("IMAPCacheSize", 256, kMegabytes);
  httpTimeOut = number("HttpTimeOut", 15, kSeconds);
  threadCount = number("ThreadCount", 1, kThreads);
  // Not in the setup dialog, and so not saved: set by hand in the INI file.
  idleTimeOut = number("IdleTimeOut", 600, kSeconds);
  deleteMode = number("DeleteMode", 1, kAnyNumber);
  log = number("Log", 0, kAnyNumber) != 0;
  onlyNotRead = number("OnlyNotRead", 0, kAnyNumber) != 0;
  doNotUseProxy = number("DoNotUseProxy", 0, kAnyNumber) != 0;
  serviceHost = ReadString(kProperty, "ServiceHost", "services.msn.com", iniPath);
  serviceNamespace = ReadString(kProperty, "ServiceNamespace", "http://schemas.microsoft.com/hotmail/", iniPath);
  // Neither is in the setup dialog, and so neither is saved: set by hand.
  refusedReasons.clear();
  serviceURL = ReadString(kProperty, "ServiceURL", "", iniPath);
  if (!serviceURL.empty() && !IsServiceURL(serviceURL)) {
    refusedReasons.push_back("[ServiceURL が http:// か https:// で始まる URL ではありません。ServiceHost からの既定の URL を使います]");
    serviceURL.clear();
  }
  const std::string pin = ReadString(kProperty, "ServiceCertPin", "", iniPath);
  serviceCertPin = NormalizePin(pin);
  if (!pin.empty() && serviceCertPin.empty())
    refusedReasons.push_back("[ServiceCertPin が SHA-256 の 16 進 64 桁ではありません。証明書はシステムの証明書ストアだけで確かめます]");

  folderDownLoad.clear();
  folderIds.clear();
  folderSpecials.clear();
  folderDisplays.clear();
  const int count = ReadNumber(kFolder, "Count", 0, kAnyNumber, iniPath, refused);
  for (int i : FolderRecordNumbers(count, iniPath)) {
    std::string id = ReadString(kFolder, std::to_string(i).c_str(), "", iniPath);
    if (id.empty()) continue;
    AppendFolder(id, ReadString(kFolderSpecial, id.c_str(), "", iniPath),
                 ReadString(kFolderDisplay, id.c_str(), "", iniPath),
                 ReadNumber(kFolderDownLoad, id.c_str(), 0, kAnyNumber, iniPath, refused) != 0);
  }
}

void CSettings::Save() const {
  WriteInt(kProperty, "POPPortNumber", popPortNumber, iniPath);
  WriteInt(kProperty, "SMTPPortNumber", smtpPortNumber, iniPath);
  WriteInt(kProperty, "HttpTimeOut", httpTimeOut, iniPath);
  WriteInt(kProperty, "ThreadCount", threadCount, iniPath);
  WriteInt(kProperty, "DeleteMode", deleteMode, iniPath);
  WriteFlag(kProperty, "Log", log, iniPath);
  WriteFlag(kProperty, "OnlyNotRead", onlyNotRead, iniPath);
  WriteFlag(kProperty, "DoNotUseProxy", doNotUseProxy, iniPath);
  WriteString(kProperty, "ServiceHost", serviceHost, iniPath);
  WriteString(kProperty, "ServiceNamespace", serviceNamespace, iniPath);

  SaveFolders();
}

// The folder table, one section at a time: a key-by-key write would rewrite
// the whole file once per key.
void CSettings::SaveFolders() const {
  Entries folders{{"Count", std::to_string(folderIds.size())}};
  Entries specials, displays, downloads;
  for (size_t i = 0; i < folderIds.size(); ++i) {
    folders.emplace_back(std::to_string(i), folderIds[i]);
    specials.emplace_back(folderIds[i], folderSpecials[i]);
    displays.emplace_back(folderIds[i], folderDisplays[i]);
    downloads.emplace_back(folderIds[i], folderDownLoad[i] ? "1" : "0");
  }
  MergeSection(kFolder, folders, iniPath);
  MergeSection(kFolderSpecial, specials, iniPath);
  MergeSection(kFolderDisplay, displays, iniPath);
  MergeSection(kFolderDownLoad, downloads, iniPath);
}

std::string CSettings::EntryURL() const {
  return serviceURL.empty() ? "http://" + serviceHost + kEntryPath : serviceURL;
}

bool IsServiceURL(const std::string& text) {
  // A value as long as the read buffer may have been cut.
  if (text.size() + 1 >= kValueBuffer) return false;
  for (unsigned char c : text)
    if (c <= 0x20 || c >= 0x7F) return false;
  size_t start = 0;
  if (strncasecmp(text.c_str(), "https://", 8) == 0)
    start = 8;
  else if (strncasecmp(text.c_str(), "http://", 7) == 0)
    start = 7;
  else
    return false;
  const size_t end = std::min(text.find_first_of("/?#", start), text.size());
  const std::string authority = text.substr(start, end - start);
  // Credentials in the URL would travel in the log and past the account's.
  if (authority.find('@') != std::string::npos) return false;
  const size_t close = authority.rfind(']');
  const size_t colon = authority.rfind(':');
  const bool hasPort = colon != std::string::npos && (close == std::string::npos || colon > close);
  const std::string host = hasPort ? authority.substr(0, colon) : authority;
  if (host.empty() || host == "[]") return false;
  if (!hasPort) return true;
  const std::string port = authority.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
  const long number = strtol(port.c_str(), nullptr, 10);
  return number >= 1 && number <= 65535;
}

std::string NormalizePin(const std::string& text) {
  std::string digits;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    // A colon only between two bytes' digits, as fingerprints are printed.
    if (c == ':' && digits.size() % 2 == 0 && !digits.empty() && i + 1 < text.size()) continue;
    if (!isxdigit(c)) return std::string();
    digits += static_cast<char>(tolower(c));
  }
  return digits.size() == 64 ? digits : std::string();
}

int CSettings::FindFolder(const std::string& id) const {
  for (size_t i = 0; i < folderIds.size(); ++i)
    if (folderIds[i] == id) return static_cast<int>(i);
  return -1;
}

void CSettings::AppendFolder(const std::string& id, const std::string& special, const std::string& display,
                             bool download) {
  folderIds.push_back(id);
  folderSpecials.push_back(special);
  folderDisplays.push_back(display);
  folderDownLoad.push_back(download);
}
