#include "imap/ImapMailbox.h"

#include <algorithm>
#include <map>

#include "imap/ListingDate.h"

CImapMailbox::CImapMailbox(CFolder folder, std::string name, bool readOnly, uint32_t uidValidity)
    : folder_(std::move(folder)),
      name_(std::move(name)),
      readOnly_(readOnly),
      uidValidity_(uidValidity),
      shared_(std::make_shared<CFolderFlags>(uidValidity)) {}

CImapMailbox::~CImapMailbox() {}

void CImapMailbox::ShareFlags(std::shared_ptr<CFolderFlags> shared) {
  if (!shared) return;
  shared_ = std::move(shared);
  synced_ = 0;
}

std::vector<uint32_t> CImapMailbox::TakeShared(std::vector<std::string>* announce) {
  std::vector<uint32_t> changed;
  if (shared_->Version() == synced_) return changed;
  if (keywords_ != shared_->Keywords()) {
    keywords_ = shared_->Keywords();
    if (announce != nullptr) announce->push_back("* FLAGS " + FlagList() + "\r\n");
  }
  for (uint32_t uid : shared_->ChangedSince(synced_)) {
    ImapMessage* m = Find(uid);
    if (m == nullptr) continue;
    ImapFlags now = shared_->Get(uid);
    if (now.deleted == m->deleted && now.others == m->otherFlags) continue;
    m->deleted = now.deleted;
    m->otherFlags = std::move(now.others);
    changed.push_back(uid);
  }
  synced_ = shared_->Version();
  return changed;
}

std::string CImapMailbox::FlagsLine(size_t index) const {
  const ImapMessage& m = messages_[index];
  return "* " + std::to_string(index + 1) + " FETCH (UID " + std::to_string(m.uid) + " FLAGS " + Flags(m) + ")\r\n";
}

std::vector<std::string> CImapMailbox::SyncFlags() {
  std::vector<std::string> announce;
  for (uint32_t uid : TakeShared(&announce)) {
    announce.push_back(FlagsLine(static_cast<size_t>(Find(uid) - messages_.data())));
  }
  return announce;
}

void CImapMailbox::PublishFlags(const ImapMessage& message) {
  ImapFlags flags;
  flags.deleted = message.deleted;
  flags.others = message.otherFlags;
  shared_->Set(message.uid, flags);
}

void CImapMailbox::Merge(const std::vector<CMail>& listing, const std::vector<uint32_t>& uids,
                         uint32_t uidNext, std::vector<std::string>* announce) {
  std::map<uint32_t, const CMail*> fresh;
  for (size_t i = 0; i < listing.size() && i < uids.size(); ++i) fresh[uids[i]] = &listing[i];
  // Expunged: highest sequence number first.
  for (size_t i = messages_.size(); i-- > 0;) {
    if (fresh.count(messages_[i].uid) != 0) continue;
    messages_.erase(messages_.begin() + static_cast<long>(i));
    if (announce != nullptr) announce->push_back("* " + std::to_string(i + 1) + " EXPUNGE\r\n");
  }
  // Changed flags: read marks, and what other sessions stored (the
  // entries of messages gone from the folder go with their UIDs).
  shared_->Retain(uids);
  const std::vector<uint32_t> stored = TakeShared(announce);
  for (size_t i = 0; i < messages_.size(); ++i) {
    const CMail& now = *fresh[messages_[i].uid];
    bool changed = now.read != messages_[i].info.read ||
                   std::binary_search(stored.begin(), stored.end(), messages_[i].uid);
    messages_[i].info = now;
    if (changed && announce != nullptr) announce->push_back(FlagsLine(i));
  }
  // New ones: UIDs above every one held.
  size_t before = messages_.size();
  uint32_t largest = LargestUid();
  for (const auto& entry : fresh) {
    if (entry.first <= largest) continue;
    ImapMessage message;
    message.info = *entry.second;
    CListingDate::Parse(message.info.date, &message.date);
    message.uid = entry.first;
    ImapFlags flags = shared_->Get(entry.first);
    message.deleted = flags.deleted;
    message.otherFlags = std::move(flags.others);
    messages_.push_back(std::move(message));
  }
  if (announce != nullptr && messages_.size() != before) {
    announce->push_back("* " + std::to_string(messages_.size()) + " EXISTS\r\n");
  }
  uidNext_ = std::max(uidNext, LargestUid() + 1);
}

ImapMessage* CImapMailbox::Find(uint32_t uid) {
  auto at = std::lower_bound(messages_.begin(), messages_.end(), uid,
                             [](const ImapMessage& m, uint32_t u) { return m.uid < u; });
  return at != messages_.end() && at->uid == uid ? &*at : nullptr;
}

const ImapMessage* CImapMailbox::NextListed(const std::vector<uint32_t>& uids, size_t& next) {
  while (next < uids.size()) {
    const ImapMessage* message = Find(uids[next++]);
    if (message != nullptr && !message->info.id.empty()) return message;
  }
  return nullptr;
}

uint32_t CImapMailbox::Expunge(uint32_t uid) {
  ImapMessage* message = Find(uid);
  if (message == nullptr) return 0;
  const size_t index = static_cast<size_t>(message - messages_.data());
  messages_.erase(messages_.begin() + static_cast<long>(index));
  shared_->Drop(uid);
  return static_cast<uint32_t>(index + 1);
}

bool CImapMailbox::Resolve(const CSequenceSet& set, bool byUid, std::vector<size_t>& indexes) const {
  indexes.clear();
  if (byUid) {
    uint32_t largest = LargestUid();
    for (size_t i = 0; i < messages_.size(); ++i) {
      if (set.Contains(messages_[i].uid, largest)) indexes.push_back(i);
    }
    // "n:*" names the last message even when n is above every UID.
    if (indexes.empty() && !messages_.empty()) {
      for (const CSequenceSet::Range& r : set.ranges) {
        if (r.first == 0 || r.last == 0) {
          indexes.push_back(messages_.size() - 1);
          break;
        }
      }
    }
    return true;
  }
  uint32_t count = static_cast<uint32_t>(messages_.size());
  if (count == 0) {
    // "1:*" of an empty folder names nothing; any plain number is too far.
    for (const CSequenceSet::Range& r : set.ranges) {
      if (r.first != 0 && r.last != 0) return false;
      if (r.first == 0 && r.last == 0) continue;
      if ((r.first == 0 ? r.last : r.first) != 1) return false;
    }
    return true;
  }
  if (!set.WithinRange(count)) return false;
  for (size_t i = 0; i < messages_.size(); ++i) {
    if (set.Contains(static_cast<uint32_t>(i + 1), count)) indexes.push_back(i);
  }
  return true;
}

std::string CImapMailbox::Flags(const ImapMessage& message) const {
  std::string out;
  if (message.info.read) out += "\\Seen";
  if (message.deleted) out += std::string(out.empty() ? "" : " ") + "\\Deleted";
  if (message.recent) out += std::string(out.empty() ? "" : " ") + "\\Recent";
  for (const std::string& flag : message.otherFlags) out += (out.empty() ? "" : " ") + flag;
  return "(" + out + ")";
}

size_t CImapMailbox::Unseen() const {
  return static_cast<size_t>(std::count_if(messages_.begin(), messages_.end(),
                                           [](const ImapMessage& m) { return !m.info.read; }));
}

std::string CImapMailbox::FlagList() const {
  std::string out = "(\\Answered \\Flagged \\Deleted \\Seen \\Draft";
  for (const std::string& keyword : keywords_) out += " " + keyword;
  return out + ")";
}

CImapMailbox::KeywordsAdded CImapMailbox::AddKeywords(const std::vector<std::string>& flags) {
  std::vector<std::string> keywords;
  for (const std::string& flag : flags) {
    if (!flag.empty() && flag[0] != '\\') keywords.push_back(flag);
  }
  if (!shared_->AddKeywords(keywords)) return KeywordsAdded::TooMany;
  if (keywords_ == shared_->Keywords()) return KeywordsAdded::None;
  keywords_ = shared_->Keywords();
  return KeywordsAdded::Some;
}

size_t CImapMailbox::Recent() const {
  return static_cast<size_t>(std::count_if(messages_.begin(), messages_.end(),
                                           [](const ImapMessage& m) { return m.recent; }));
}

size_t CImapMailbox::MarkRecent(uint32_t claimedBefore) {
  for (ImapMessage& m : messages_) m.recent = m.recent || m.uid > claimedBefore;
  return Recent();
}
