#include "imap/MessageCache.h"

#include <windows.h>

#include <string.h>

#include <algorithm>

#include "PathSeparator.h"
#include "config/FileText.h"
#include "config/Log.h"
#include "imap/ImapBody.h"

namespace {

constexpr char kSummaryMagic[] = "KESTRELON MESSAGE CACHE 1\n";
constexpr char kLedgerMagic[] = "KESTRELON CACHE LEDGER 1\n";
// What an entry costs beyond its texts, for the bound.
constexpr uint64_t kEntryOverhead = 64;

uint64_t Fnv(const char* data, size_t size, uint64_t hash = 14695981039346656037ull) {
  for (size_t i = 0; i < size; ++i) {
    hash ^= static_cast<unsigned char>(data[i]);
    hash *= 1099511628211ull;
  }
  return hash;
}

// A text's check sum, read back with every cached text: 32 bytes a step in
// four independent lanes, as texts run to many megabytes and one chain of
// multiplications would take longer than reading the file.
uint64_t TextSum(const std::string& text) {
  uint64_t lanes[4] = {0x9E3779B97F4A7C15ull ^ text.size(), 0xC2B2AE3D27D4EB4Full, 0x165667B19E3779F9ull,
                       0x27D4EB2F165667C5ull};
  size_t i = 0;
  for (; i + sizeof lanes <= text.size(); i += sizeof lanes) {
    for (size_t k = 0; k < 4; ++k) {
      uint64_t word;
      memcpy(&word, text.data() + i + 8 * k, 8);
      lanes[k] = (lanes[k] ^ word) * 0xFF51AFD7ED558CCDull;
      lanes[k] ^= lanes[k] >> 32;
    }
  }
  uint64_t hash = lanes[0];
  for (size_t k = 1; k < 4; ++k) hash = (hash ^ lanes[k]) * 0xFF51AFD7ED558CCDull;
  return Fnv(text.data() + i, text.size() - i, hash);
}

uint64_t Fnv(const std::string& text) { return Fnv(text.data(), text.size()); }

std::string Hex(uint64_t value) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i, value >>= 4) out[static_cast<size_t>(i)] = kDigits[value & 15];
  return out;
}

// Fields are written as their length, a colon and their bytes; numbers as
// decimal digits and a semicolon. A file ends in "Z" and the hash of what
// comes before it.
void PutNumber(std::string& out, uint64_t value) { out += std::to_string(value) + ';'; }
void PutField(std::string& out, const std::string& value) {
  out += std::to_string(value.size()) + ':';
  out += value;
}
std::string Sealed(std::string data) {
  data += 'Z';
  return data += Hex(Fnv(data));
}

class Reader {
 public:
  explicit Reader(const std::string& data) : data_(data) {}
  bool Number(uint64_t& value, char end = ';') {
    value = 0;
    size_t digits = 0;
    while (pos_ < data_.size() && data_[pos_] >= '0' && data_[pos_] <= '9') {
      const uint64_t digit = static_cast<uint64_t>(data_[pos_++] - '0');
      if (value > (UINT64_MAX - digit) / 10) return false;
      value = value * 10 + digit;
      ++digits;
    }
    return digits > 0 && pos_ < data_.size() && data_[pos_++] == end;
  }
  bool Field(std::string& value) {
    uint64_t size = 0;
    if (!Number(size, ':') || size > data_.size() - pos_) return false;
    value.assign(data_, pos_, static_cast<size_t>(size));
    pos_ += static_cast<size_t>(size);
    return true;
  }
  bool Take(char c) { return pos_ < data_.size() && data_[pos_] == c ? (++pos_, true) : false; }
  bool AtEnd() const { return pos_ == data_.size(); }

 private:
  const std::string& data_;
  size_t pos_ = 0;
};

// The part before the seal when the file is whole and starts with `magic`.
bool Unseal(std::string& data, const char* magic) {
  const size_t magicSize = strlen(magic);
  if (data.size() < magicSize + 17 || data.compare(0, magicSize, magic) != 0) return false;
  const size_t seal = data.size() - 17;
  if (data[seal] != 'Z' || data.compare(seal + 1, 16, Hex(Fnv(data.data(), seal + 1))) != 0) return false;
  data.erase(seal);
  data.erase(0, magicSize);
  return true;
}

// Parts past this many are not recorded: BODY[n] of them downloads the text.
constexpr size_t kMostParts = 256;

uint64_t EntryBytes(const std::string& id, const CachedMessage& m) {
  return kEntryOverhead + id.size() + m.header.size() + m.body.size() + m.structure.size() + 32 * m.parts.size();
}

// Every part BODY[n] names, as a section's part numbers find it: a
// multipart's children by number, a single part's body as 1, a carried
// message's parts below its message/rfc822 part.
void ListParts(const CMimePart& at, bool atMessage, const std::string& path, std::vector<CachedPart>& parts) {
  const CMimePart* part = &at;
  if (!atMessage && part->IsMessage() && !part->children.empty()) {
    part = part->children[0].get();
    atMessage = true;
  }
  auto add = [&](const CMimePart& child, const std::string& number) {
    if (parts.size() >= kMostParts) return;
    const std::string name = path.empty() ? number : path + "." + number;
    parts.push_back(CachedPart{name, child.bodyBegin, child.BodySize()});
    ListParts(child, false, name, parts);
  };
  if (part->IsMultipart()) {
    for (size_t i = 0; i < part->children.size(); ++i) add(*part->children[i], std::to_string(i + 1));
  } else if (atMessage) {
    add(*part, "1");
  }
}

// Whether `path` names a folder (and not a file that took its name).
bool IsFolder(const std::string& path) {
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA(path.c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return false;
  FindClose(find);
  return (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

// ---- one folder ----------------------------------------------------------------

CFolderCache::CFolderCache(CMessageCache& owner, std::string key, std::string account, std::string folderId)
    : owner_(owner), key_(std::move(key)), account_(std::move(account)), folderId_(std::move(folderId)) {
  Load();
}

CFolderCache::~CFolderCache() { Save(); }

const CachedMessage* CFolderCache::Find(const std::string& id, uint64_t size) const {
  auto found = entries_.find(id);
  return found != entries_.end() && found->second.size == size ? &found->second : nullptr;
}

const CachedPart* CFolderCache::FindPart(const CachedMessage& message, const std::string& path) {
  for (const CachedPart& part : message.parts) {
    if (part.path == path) return &part;
  }
  return nullptr;
}

std::string CFolderCache::SummaryPath() const { return owner_.folder_ + kPathSeparator + key_ + ".sum"; }

std::string CFolderCache::TextPath(const std::string& id) const {
  return owner_.folder_ + kPathSeparator + key_ + "-" + Hex(Fnv(id)) + ".eml";
}

bool CFolderCache::ReadText(const std::string& id, std::string& text) {
  auto found = entries_.find(id);
  if (found == entries_.end() || found->second.textSize == 0) return false;
  CachedMessage& entry = found->second;
  text.clear();
  text.reserve(static_cast<size_t>(entry.textSize));
  if (ReadWholeFile(TextPath(id), text, static_cast<size_t>(entry.textSize)) && text.size() == entry.textSize &&
      TextSum(text) == entry.textSum) {
    return true;
  }
  text.clear();
  DropText(id, entry);
  return false;
}

void CFolderCache::DropText(const std::string& id, CachedMessage& entry) {
  if (entry.textSize == 0) return;
  DeleteFileA(TextPath(id).c_str());
  textBytes_ -= std::min(textBytes_, entry.textSize);
  entry.textSize = entry.textSum = 0;
  changed_ = true;
  owner_.Account(key_, Bytes());
}

bool CFolderCache::MakeRoom(uint64_t bytes, const std::string& keep) {
  if (owner_.Used() + bytes <= owner_.Bound()) return true;
  std::vector<std::pair<uint64_t, std::string>> texts;  // oldest first
  for (const auto& entry : entries_) {
    if (entry.second.textSize != 0 && entry.first != keep) texts.emplace_back(entry.second.stamp, entry.first);
  }
  std::sort(texts.begin(), texts.end());
  for (const auto& text : texts) {
    if (owner_.Used() + bytes <= owner_.Bound()) break;
    DropText(text.second, entries_[text.second]);
  }
  return owner_.Used() + bytes <= owner_.Bound();
}

void CFolderCache::Learn(const std::string& id, uint64_t size, const std::string& text, const CMimePart& tree,
                         bool keepText) {
  const CachedMessage* known = Find(id, size);
  if (known != nullptr && (known->textSize != 0 || !keepText)) return;
  CachedMessage entry;
  entry.size = size;
  entry.header = text.substr(0, std::min(tree.headerEnd, text.size()));
  entry.body = CImapBody::Structure(text, tree, false);
  entry.structure = CImapBody::Structure(text, tree, true);
  ListParts(tree, true, std::string(), entry.parts);
  auto old = entries_.find(id);
  if (old != entries_.end()) Drop(old);
  const uint64_t summary = EntryBytes(id, entry);
  if (!MakeRoom(summary, id)) return;
  summaryBytes_ += summary;
  changed_ = true;
  owner_.Account(key_, Bytes());
  const uint64_t textSize = text.size();
  if (keepText && textSize > 0 && textSize <= owner_.Bound() / CMessageCache::kLargestTextShare && MakeRoom(textSize, id)) {
    if (WriteWholeFile(TextPath(id), text) == ERROR_SUCCESS) {
      entry.textSize = textSize;
      entry.textSum = TextSum(text);
      entry.stamp = nextStamp_++;
      textBytes_ += textSize;
    }
  }
  entries_[id] = std::move(entry);
  owner_.Account(key_, Bytes());
}

std::map<std::string, CachedMessage>::iterator CFolderCache::Drop(std::map<std::string, CachedMessage>::iterator entry) {
  DropText(entry->first, entry->second);
  summaryBytes_ -= std::min(summaryBytes_, EntryBytes(entry->first, entry->second));
  changed_ = true;
  return entries_.erase(entry);
}

void CFolderCache::Retain(const std::vector<std::string>& listed) {
  std::vector<std::string> sorted(listed);
  std::sort(sorted.begin(), sorted.end());
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (std::binary_search(sorted.begin(), sorted.end(), it->first)) {
      ++it;
      continue;
    }
    it = Drop(it);
  }
  owner_.Account(key_, Bytes());
  Save();
}

std::string CFolderCache::Serialize() const {
  std::string out = kSummaryMagic;
  PutField(out, account_);
  PutField(out, folderId_);
  PutNumber(out, nextStamp_);
  for (const auto& e : entries_) {
    const CachedMessage& m = e.second;
    out += 'E';
    PutField(out, e.first);
    PutNumber(out, m.size);
    PutField(out, m.header);
    PutField(out, m.body);
    PutField(out, m.structure);
    PutNumber(out, m.textSize);
    PutNumber(out, m.textSum);
    PutNumber(out, m.stamp);
    PutNumber(out, m.parts.size());
    for (const CachedPart& part : m.parts) {
      PutField(out, part.path);
      PutNumber(out, part.first);
      PutNumber(out, part.size);
    }
  }
  return Sealed(std::move(out));
}

bool CFolderCache::Parse(const std::string& data) {
  Reader in(data);
  std::string account, folderId;
  if (!in.Field(account) || !in.Field(folderId) || account != account_ || folderId != folderId_ ||
      !in.Number(nextStamp_)) {
    return false;
  }
  while (in.Take('E')) {
    std::string id;
    CachedMessage m;
    if (!in.Field(id) || !in.Number(m.size) || !in.Field(m.header) || !in.Field(m.body) || !in.Field(m.structure) ||
        !in.Number(m.textSize) || !in.Number(m.textSum) || !in.Number(m.stamp) || id.empty()) {
      return false;
    }
    uint64_t parts = 0;
    if (!in.Number(parts) || parts > kMostParts) return false;
    m.parts.resize(static_cast<size_t>(parts));
    for (CachedPart& part : m.parts) {
      if (!in.Field(part.path) || !in.Number(part.first) || !in.Number(part.size) ||
          part.size > UINT64_MAX - part.first) {
        return false;
      }
    }
    textBytes_ += m.textSize;
    entries_[id] = std::move(m);
  }
  return in.AtEnd();
}

void CFolderCache::Load() {
  std::string data;
  bool missing = false;
  const bool read = ReadWholeFile(SummaryPath(), data, static_cast<size_t>(std::min<uint64_t>(owner_.Bound(), SIZE_MAX / 2)),
                                  &missing);
  if (read && Unseal(data, kSummaryMagic) && Parse(data)) {
    summaryBytes_ = data.size();
  } else {
    // Damaged, foreign or missing: started anew, and written anew at the
    // next save.
    entries_.clear();
    textBytes_ = 0;
    nextStamp_ = 1;
    changed_ = !missing;
  }
  owner_.Account(key_, Bytes());
}

void CFolderCache::Save() {
  if (!changed_) return;
  const std::string data = Serialize();
  if (ReplaceWholeFile(SummaryPath(), data) == ERROR_SUCCESS) {
    summaryBytes_ = data.size();
    changed_ = false;
  }
  owner_.Account(key_, Bytes());
  owner_.SaveLedger();
}

// ---- the whole cache -----------------------------------------------------------

CMessageCache::CMessageCache(std::string folder, uint64_t bound) : folder_(std::move(folder)), bound_(bound) {
  if (bound_ == 0 || folder_.empty()) return;
  DWORD error = ERROR_SUCCESS;
  if (CreateDirectoryA(folder_.c_str(), nullptr) == FALSE) error = GetLastError();
  usable_ = error == ERROR_SUCCESS || (error == ERROR_ALREADY_EXISTS && IsFolder(folder_));
  if (usable_) {
    LoadLedger();
    return;
  }
  theLog.Write("[メッセージのキャッシュを使えません: " + folder_ + ": " + CLog::SystemErrorLine(error) + "]\n");
}

CMessageCache::~CMessageCache() {}

std::shared_ptr<CFolderCache> CMessageCache::Folder(const std::string& account, const std::string& folderId) {
  if (!On()) return nullptr;
  const std::string key = Hex(Fnv(account + "\n" + folderId));
  std::weak_ptr<CFolderCache>& slot = open_[key];
  std::shared_ptr<CFolderCache> folder = slot.lock();
  if (!folder) {
    folder = std::make_shared<CFolderCache>(*this, key, account, folderId);
    slot = folder;
  }
  return folder;
}

uint64_t CMessageCache::Used() const {
  uint64_t used = 0;
  for (const auto& entry : ledger_) used += entry.second;
  return used;
}

void CMessageCache::Account(const std::string& key, uint64_t bytes) {
  if (bytes == 0)
    ledger_.erase(key);
  else
    ledger_[key] = bytes;
}

std::string CMessageCache::LedgerPath() const { return folder_ + kPathSeparator + "ledger"; }

void CMessageCache::LoadLedger() {
  std::string data;
  if (!ReadWholeFile(LedgerPath(), data, 16u * 1024u * 1024u) || !Unseal(data, kLedgerMagic))
    return;
  Reader in(data);
  std::map<std::string, uint64_t> ledger;
  std::string key;
  uint64_t bytes = 0;
  while (in.Take('L')) {
    if (!in.Field(key) || !in.Number(bytes)) return;
    ledger[key] = bytes;
  }
  ledger_.swap(ledger);
}

void CMessageCache::SaveLedger() {
  std::string out = kLedgerMagic;
  for (const auto& entry : ledger_) {
    out += 'L';
    PutField(out, entry.first);
    PutNumber(out, entry.second);
  }
  ReplaceWholeFile(LedgerPath(), Sealed(std::move(out)));
}
