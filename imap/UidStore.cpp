#include "imap/UidStore.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <set>
#include <time.h>

#include "config/FileText.h"
#include "config/Log.h"
#include "imap/ImapParser.h"

namespace {

const char kMagic[] = "kestrelon-uids 1";
// The same header once a save has failed: UIDs were given that the file
// does not hold, so its records are not to be trusted at the next start.
const char kLostMagic[] = "kestrelon-uids 0";
constexpr size_t kMagicLength = sizeof kMagic - 1;
constexpr size_t kLongestFile = 64u * 1024u * 1024u;
constexpr uint32_t kLastUid = 0xFFFFFFFFu;

uint32_t Now() { return static_cast<uint32_t>(time(nullptr)); }

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  size_t pos = 0;
  while (pos <= line.size()) {
    size_t space = line.find(' ', pos);
    if (space == std::string::npos) space = line.size();
    words.push_back(line.substr(pos, space - pos));
    pos = space + 1;
  }
  return words;
}

}  // namespace

CUidStore::CUidStore(std::string path) : path_(std::move(path)) {}

CUidStore::~CUidStore() {}

std::string CUidStore::Escape(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (c <= ' ' || c >= 0x7F || c == '%') {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out.empty() ? "%" : out;  // a lone "%" is the empty text
}

bool CUidStore::Unescape(const std::string& text, std::string& out) {
  out.clear();
  if (text == "%") return true;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return false;
    int value = 0;
    for (int k = 1; k <= 2; ++k) {
      char c = text[i + k];
      int d = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (d < 0) return false;
      value = value * 16 + d;
    }
    out.push_back(static_cast<char>(value));
    i += 2;
  }
  return true;
}

bool CUidStore::Load() {
  folders_.clear();
  if (path_.empty()) return true;
  // Without a file to say otherwise, an earlier run may have made any
  // validity up to now (none is made ahead of the clock).
  lastValidity_ = Now();
  std::string data;
  bool missing = false;
  if (!ReadWholeFile(path_, data, kLongestFile, &missing)) return missing;
  std::map<std::string, FolderRecord> folders;
  FolderRecord* current = nullptr;
  uint32_t lastValidity = 0;
  size_t pos = 0;
  bool first = true;
  while (pos < data.size()) {
    size_t lf = data.find('\n', pos);
    if (lf == std::string::npos) return false;  // cut short
    std::string line = data.substr(pos, lf - pos);
    pos = lf + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> words = Words(line);
    if (first) {
      first = false;
      const std::string magic = words.size() == 3 ? words[0] + " " + words[1] : std::string();
      if ((magic != kMagic && magic != kLostMagic) || !CImapParser::ParseNumber(words[2], &lastValidity, true)) {
        return false;
      }
      // Kept even when the rest is damaged or lost: new validities stay above it.
      if (lastValidity > lastValidity_) lastValidity_ = lastValidity;
      if (magic == kLostMagic) return false;
      continue;
    }
    if (words.size() == 5 && words[0] == "F") {
      FolderRecord record;
      std::string account, folder;
      if (!CImapParser::ParseNumber(words[1], &record.validity) ||
          !CImapParser::ParseNumber(words[2], &record.next) || !Unescape(words[3], account) ||
          !Unescape(words[4], folder)) {
        return false;
      }
      current = &folders[Lower(account) + " " + folder];
      *current = record;
      continue;
    }
    uint32_t uid = 0;
    std::string id;
    if (current == nullptr || words.size() != 2 || !CImapParser::ParseNumber(words[0], &uid) ||
        uid >= current->next || !Unescape(words[1], id) || id.empty()) {
      return false;
    }
    current->uids[id] = uid;
  }
  if (first) return false;
  folders_.swap(folders);
  lastValidity_ = lastValidity;
  return true;
}

bool CUidStore::Save() {
  if (path_.empty()) return true;
  std::string data = std::string(kMagic) + " " + std::to_string(lastValidity_) + "\r\n";
  for (const auto& entry : folders_) {
    size_t space = entry.first.find(' ');
    const FolderRecord& record = entry.second;
    data += "F " + std::to_string(record.validity) + " " + std::to_string(record.next) + " " +
            Escape(entry.first.substr(0, space)) + " " + Escape(entry.first.substr(space + 1)) + "\r\n";
    for (const auto& uid : record.uids) data += std::to_string(uid.second) + " " + Escape(uid.first) + "\r\n";
  }
  const DWORD error = ReplaceWholeFile(path_, data);
  if (error == ERROR_SUCCESS) {
    saveFailed_ = false;
    return true;
  }
  if (!saveFailed_) {
    // Once for each run of failures, and the file is marked before any
    // UID it lacks is given.
    saveFailed_ = true;
    theLog.Write("[UID の記録を保存できません: " + path_ + ": " + CLog::SystemErrorLine(error) + "]\n");
    MarkLost();
  }
  return false;
}

void CUidStore::MarkLost() {
  // The header is overwritten where it is, which needs no new space on a
  // full disk; a file not there yet gets the header alone.
  HANDLE file = CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  char head[kMagicLength];
  DWORD got = 0, written = 0;
  if (ReadFile(file, head, sizeof head, &got, nullptr) == FALSE) got = 0;
  CloseHandle(file);
  std::string text;
  if (got == sizeof head && memcmp(head, kMagic, sizeof head) == 0) {
    text = kLostMagic;
  } else if (got == 0) {
    text = std::string(kLostMagic) + " " + std::to_string(lastValidity_) + "\r\n";
  } else {
    return;  // not ours: dropped at the next start anyway
  }
  file = CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  FlushFileBuffers(file);
  CloseHandle(file);
}

uint32_t CUidStore::NewValidity(uint32_t above) {
  // One validity serves every record this run starts while it is above
  // theirs (folders may share one), so a burst of new folders waits once.
  if (runValidity_ > above) return runValidity_;
  // Time-based, so a record lost with its file still gets a higher value.
  const uint32_t now = Now();
  uint32_t validity = now > lastValidity_ ? now : lastValidity_ + 1;
  if (validity <= above) validity = above + 1;
  if (!path_.empty() && validity == now + 1) {
    // Never ahead of the clock: a run that loses the file and starts again
    // within this second then still makes a higher one.
    while (Now() < validity) Sleep(20);
  }
  lastValidity_ = runValidity_ = validity;
  return validity;
}

void CUidStore::StartOver(FolderRecord& record) {
  const uint32_t old = record.validity;
  record = FolderRecord();
  record.validity = NewValidity(old);
}

CUidStore::FolderRecord& CUidStore::Record(const std::string& account, const std::string& folderId, bool* created) {
  FolderRecord& record = folders_[Lower(account) + " " + folderId];
  if (created != nullptr) *created = record.validity == 0;
  if (record.validity == 0 || record.next == 0) StartOver(record);
  return record;
}

const CUidStore::FolderRecord& CUidStore::Folder(const std::string& account, const std::string& folderId) {
  return Record(account, folderId, nullptr);
}

bool CUidStore::Assign(const std::string& account, const std::string& folderId, const std::vector<std::string>& ids,
                       std::vector<uint32_t>& uids) {
  bool changed = false;
  FolderRecord& record = Record(account, folderId, &changed);
  std::set<std::string> fresh;
  for (const std::string& id : ids) {
    if (record.uids.count(id) == 0) fresh.insert(id);
  }
  if (fresh.size() > kLastUid - record.next) {
    // Out of UIDs (UIDNEXT cannot pass 4294967295): the folder starts over
    // under a new UIDVALIDITY.
    StartOver(record);
    changed = true;
  }
  std::map<std::string, uint32_t> kept;
  uids.clear();
  for (const std::string& id : ids) {
    auto known = record.uids.find(id);
    uint32_t uid;
    if (known != record.uids.end()) {
      uid = known->second;
    } else if (kept.count(id) != 0) {
      uid = kept[id];  // the same id listed twice: one message
    } else {
      uid = record.next++;
      changed = true;
    }
    kept[id] = uid;
    uids.push_back(uid);
  }
  changed = changed || kept.size() != record.uids.size();
  record.uids.swap(kept);
  return changed;
}

uint32_t CUidStore::Add(const std::string& account, const std::string& folderId, const std::string& id) {
  FolderRecord& record = Record(account, folderId, nullptr);
  auto known = record.uids.find(id);
  if (known != record.uids.end()) return known->second;
  if (record.next == kLastUid) StartOver(record);
  record.uids[id] = record.next;
  return record.next++;
}

void CUidStore::Remove(const std::string& account, const std::string& folderId, const std::string& id) {
  auto found = folders_.find(Lower(account) + " " + folderId);
  if (found != folders_.end()) found->second.uids.erase(id);
}
