#include "imap/SharedFlags.h"

#include <algorithm>

ImapFlags CFolderFlags::Get(uint32_t uid) const {
  auto at = entries_.find(uid);
  return at == entries_.end() ? ImapFlags() : at->second.flags;
}

void CFolderFlags::Set(uint32_t uid, const ImapFlags& flags) {
  auto at = entries_.find(uid);
  const bool none = !flags.deleted && flags.others.empty();
  const bool same = at == entries_.end()
                        ? none
                        : at->second.flags.deleted == flags.deleted && at->second.flags.others == flags.others;
  if (same) return;
  Entry& entry = entries_[uid];
  // An entry whose flags were all taken away stays (so other sessions
  // learn of it) until its message leaves.
  changes_.erase(entry.version);
  entry.flags = flags;
  entry.version = ++version_;
  changes_[entry.version] = uid;
}

void CFolderFlags::Erase(std::map<uint32_t, Entry>::iterator at) {
  changes_.erase(at->second.version);
  entries_.erase(at);
}

void CFolderFlags::Drop(uint32_t uid) {
  auto at = entries_.find(uid);
  if (at != entries_.end()) Erase(at);
}

void CFolderFlags::Retain(const std::vector<uint32_t>& uids) {
  if (entries_.empty()) return;
  std::vector<uint32_t> listed(uids);
  std::sort(listed.begin(), listed.end());
  for (auto at = entries_.begin(); at != entries_.end();) {
    auto next = std::next(at);
    if (!std::binary_search(listed.begin(), listed.end(), at->first)) Erase(at);
    at = next;
  }
}

std::vector<uint32_t> CFolderFlags::ChangedSince(uint64_t version) const {
  std::vector<uint32_t> uids;
  for (auto at = changes_.upper_bound(version); at != changes_.end(); ++at) uids.push_back(at->second);
  std::sort(uids.begin(), uids.end());
  return uids;
}

bool CFolderFlags::AddKeywords(const std::vector<std::string>& keywords) {
  std::vector<std::string> fresh;
  for (const std::string& k : keywords) {
    if (std::find(keywords_.begin(), keywords_.end(), k) == keywords_.end() &&
        std::find(fresh.begin(), fresh.end(), k) == fresh.end()) {
      fresh.push_back(k);
    }
  }
  if (fresh.empty()) return true;
  if (keywords_.size() + fresh.size() > kMaxKeywords) {
    // Full: the keywords no message carries any longer make room.
    std::set<std::string> carried;
    for (const auto& entry : entries_) {
      carried.insert(entry.second.flags.others.begin(), entry.second.flags.others.end());
    }
    const size_t before = keywords_.size();
    keywords_.erase(std::remove_if(keywords_.begin(), keywords_.end(),
                                   [&](const std::string& k) { return carried.count(k) == 0; }),
                    keywords_.end());
    if (keywords_.size() != before) ++version_;
    if (keywords_.size() + fresh.size() > kMaxKeywords) return false;
  }
  keywords_.insert(keywords_.end(), fresh.begin(), fresh.end());
  ++version_;
  return true;
}

std::shared_ptr<CFolderFlags> CSharedFlags::Folder(const std::string& folderKey, uint32_t uidValidity) {
  std::shared_ptr<CFolderFlags>& folder = folders_[folderKey];
  if (!folder || folder->UidValidity() != uidValidity) folder = std::make_shared<CFolderFlags>(uidValidity);
  return folder;
}
