#include "Folder.h"

#include "config/LineText.h"

#include <string.h>

#include "config/Log.h"
#include "config/Settings.h"

namespace {

const char kNoId[] = "[フォルダ ID が取得できませんでした]";
const char kNotStorable[] = "[フォルダ ID または名前に設定ファイルへ保存できない文字が含まれています]";

struct NameEntry {
  const char* key;
  const char* name;
};

const NameEntry kNamesBySpecial[] = {
    {"inbox", "受信トレイ"},       {"sentitems", "送信済み"}, {"deleteditems", "ごみ箱"},
    {"bulkmail", "迷惑メール"}, {"msnpromo", "お知らせ"},
};

const NameEntry kNamesById[] = {
    {"F000000001", "受信トレイ"}, {"F000000002", "送信済み"},   {"F000000003", "下書き"},
    {"F000000004", "ごみ箱"},     {"F000000005", "迷惑メール"},
};

const char* const kNotDownloaded[] = {"sentitems", "deleteditems", "draft", "msnpromo"};

template <size_t N>
const char* Lookup(const NameEntry (&table)[N], const std::string& key) {
  for (const NameEntry& e : table)
    if (key == e.key) return e.name;
  return nullptr;
}

// A text that the profile functions would read back the same: no line
// break or zero byte, no blank at either end (trimmed), no enclosing quotes
// (stripped).
bool ProfileValueSafe(const std::string& v) {
  if (!FitsInHeader(v)) return false;
  if (!v.empty() && strchr(" \t", v.front()) != nullptr) return false;
  if (!v.empty() && strchr(" \t", v.back()) != nullptr) return false;
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) return false;
  return true;
}

// A key must in addition not end at "=", open a section or start a comment.
bool ProfileKeySafe(const std::string& k) {
  if (!ProfileValueSafe(k)) return false;
  if (k.find_first_of("=[]") != std::string::npos) return false;
  return k.empty() || k.front() != ';';
}

}  // namespace

CFolder::CFolder() : download(false) {}

CFolder::~CFolder() {}

bool CFolder::Normalize(CSettings& settings) {
  if (id.empty()) {
    REPORT_ERROR(kNoId, 0);
    id = special;
  }
  const int i = settings.FindFolder(id);
  if (i >= 0) {
    special = settings.folderSpecials[i];
    displayName = settings.folderDisplays[i];
    download = settings.folderDownLoad[i];
    return false;
  }
  if (special.empty()) special = id;
  if (displayName.empty()) AssignDisplayName(displayName, special);
  download = DefaultDownload(special);
  // A record that would break the INI file stays out of the table; the
  // folder is still used as it is for this session.
  if (!Storable()) {
    REPORT_ERROR(kNotStorable, 0);
    return false;
  }
  settings.AppendFolder(id, special, displayName, download);
  return true;
}

void CFolder::AssignDisplayName(std::string& name, const std::string& kind) {
  name.clear();
  if (const char* n = Lookup(kNamesBySpecial, kind)) name = n;
  if (!name.empty()) return;
  if (const char* n = Lookup(kNamesById, kind)) name = n;
  if (name.empty()) name = kind;
}

bool CFolder::DefaultDownload(const std::string& kind) {
  for (const char* k : kNotDownloaded)
    if (kind == k) return false;
  return true;
}

bool CFolder::Storable() const {
  return ProfileKeySafe(id) && ProfileValueSafe(special) && ProfileValueSafe(displayName);
}
