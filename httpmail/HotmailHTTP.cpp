// CHotmailHTTP: construction, the job records and the jobs the front ends
// start. Requests are built in HotmailHTTPRequests.cpp, replies read in
// HotmailHTTPReaders.cpp.
#include "HotmailHTTP.h"

#include <algorithm>

#include <objbase.h>

#include <climits>

#include "config/Log.h"
#include "config/Settings.h"
#include "httpmail/JobResult.h"
#include "httpmail/MailListing.h"
#include "plugin/PrivateMessages.h"

namespace {

// What ReadReply gives for a session kind that has no reader.
constexpr int kNoReader = INT_MIN;

}  // namespace

CHotmailHTTP::CHotmailHTTP(CSettings& settings) : settings_(settings) {
  Reset();
  comInitialized_ = SUCCEEDED(CoInitialize(nullptr));
}

CHotmailHTTP::~CHotmailHTTP() {
  Reset();
  if (comInitialized_) CoUninitialize();
}

// ---- job records ----------------------------------------------------------

int CHotmailHTTP::BeginJob(int handle, UINT message, WPARAM wParam, LPARAM initial, Accept accept) {
  JobRecord& job = jobs_[handle];
  job.pending = 1;
  job.message = message;
  job.wParam = wParam;
  job.lParam = initial;
  job.initial = initial;
  job.accept = accept;
  job.failed = false;
  ++job.serial;  // replies of an earlier job of this record are now stale
  return handle;
}

void CHotmailHTTP::BeginJob(int handle, const CCredentials& credentials, UINT message, WPARAM wParam,
                            LPARAM initial, Accept accept) {
  jobs_[handle].credentials = credentials;
  BeginJob(handle, message, wParam, initial, accept);
}

void CHotmailHTTP::AddRequest(int handle) { ++jobs_[handle].pending; }

void CHotmailHTTP::ReleaseJob(int handle) {
  JobRecord& job = jobs_[handle];
  if (job.pending <= 0) return;
  if (--job.pending > 0) return;
  if (!PostMessageA(window_, job.message, job.wParam, job.lParam)) REPORT_SYSTEM_ERROR(GetLastError());
}

// The first failure of a job is what it reports; while all went well, the
// latest result stands.
void CHotmailHTTP::Settle(int handle, int result) {
  JobRecord& job = jobs_[handle];
  if (job.failed) return;
  const bool ok = job.accept == Accept::AnySuccess ? JobResult::IsSuccess(result) : result == job.initial;
  job.lParam = result;
  job.failed = !ok;
}

void CHotmailHTTP::Start(int handle, std::unique_ptr<CHotmailRequest> request) {
  if (!request) {
    Settle(handle, -1);
    return;
  }
  request->job = handle;
  request->serial = jobs_[handle].serial;
  if (CHTTPSession::Submit(request.get())) {
    request.release();  // the transport has it until its completion message
    AddRequest(handle);
  } else {
    Settle(handle, -1);
  }
}

bool CHotmailHTTP::SubmitImap(std::unique_ptr<CHotmailRequest>& request, unsigned connection) {
  request->job = kImapJob;
  request->serial = connection;
  if (!CHTTPSession::Submit(request.get())) return false;
  request.release();  // the transport has it until its completion message
  return true;
}

// ---- messages ---------------------------------------------------------------

LRESULT CHotmailHTTP::OnMessage(HWND, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_HTTP_STEP) {
    if (wParam == HTTP_STEP_FOLDERS) AdvanceLogin(LoginStep::Discovery, static_cast<int>(lParam));
    if (wParam == HTTP_STEP_MAILS) AdvanceLogin(LoginStep::Folders, static_cast<int>(lParam));
    return 0;
  }
  if (message != WM_HTTP_SESSION_DONE || lParam == 0) return 0;

  // Every session the transport hands back was built by this client.
  std::unique_ptr<CHotmailRequest> request(static_cast<CHotmailRequest*>(reinterpret_cast<CHTTPSession*>(lParam)));
  if (request->job == kImapJob) {
    if (imapReplies_) {
      imapReplies_(std::move(request));
    } else {
      request->Finish();
    }
    return 0;
  }
  const int handle = request->job;
  const unsigned serial = request->serial;
  const bool known = handle >= 0 && handle < kJobRecords;
  // A reply of a job that has since been replaced is not read: its lists
  // and numbers belong to the job before.
  const bool current = known && jobs_[handle].serial == serial && jobs_[handle].pending > 0;
  const int result = current ? ReadReply(static_cast<int>(wParam), *request) : kNoReader;
  request->Finish();
  request.reset();
  if (!current || jobs_[handle].serial != serial) return 0;
  if (result != kNoReader) Settle(handle, result);
  ReleaseJob(handle);
  return 0;
}

int CHotmailHTTP::ReadReply(int kind, CHotmailRequest& request) {
  switch (kind) {
    case KIND_ROOT: return ParseRootReply(request);
    case KIND_FOLDERS: return ParseFolderReply(request);
    case KIND_MAILS: return ParseMailReply(request);
    case KIND_MESSAGE: return OnMessageReply(request);
    case KIND_MOVE:
    case KIND_MARK_READ:
    case KIND_POST:
    case KIND_DELETE: return OnSimpleReply(request);
    default: return kNoReader;
  }
}

// ---- jobs ---------------------------------------------------------------------

const CHotmailHTTP::Discovery* CHotmailHTTP::Discovered(const CCredentials& credentials) const {
  auto found = discoveries_.find(credentials);
  return found == discoveries_.end() ? nullptr : &found->second;
}

std::string CHotmailHTTP::FolderRootUrl(const CCredentials& credentials) const {
  const Discovery* discovery = Discovered(credentials);
  return discovery ? discovery->folderRootUrl : std::string();
}

std::string CHotmailHTTP::SendUrl(const CCredentials& credentials) const {
  const Discovery* discovery = Discovered(credentials);
  return discovery ? discovery->sendUrl : std::string();
}

void CHotmailHTTP::Login(int frontEnd, const CCredentials& credentials) {
  if (frontEnd == FRONT_SMTP) {
    BeginJob(FRONT_SMTP, credentials, WM_SMTP_JOB_DONE, SMTP_JOB_LOGIN, JobResult::kMultiStatus);
    Start(FRONT_SMTP, NewRootRequest(credentials));
    ReleaseJob(FRONT_SMTP);
    return;
  }
  BeginJob(FRONT_POP, credentials, WM_HTTP_STEP, HTTP_STEP_FOLDERS, JobResult::kMultiStatus);
  // Credentials that discovered their account before need not again; the
  // folder list that follows carries them, so wrong ones still fail there.
  const Discovery* known = Discovered(credentials);
  if (known == nullptr || known->folderRootUrl.empty()) Start(FRONT_POP, NewRootRequest(credentials));
  ReleaseJob(FRONT_POP);
}

// The one place the POP3 log-in moves on: discovery, then the folder list,
// then the message list of every folder chosen for download.
void CHotmailHTTP::AdvanceLogin(LoginStep finished, int result) {
  if (!JobResult::IsLoggedIn(result)) {
    ReleaseJob(BeginJob(FRONT_POP, WM_POP_JOB_DONE, POP_JOB_LOGIN, result));
    return;
  }
  const CCredentials credentials = jobs_[FRONT_POP].credentials;
  switch (finished) {
    case LoginStep::Discovery:
      BeginJob(FRONT_POP, WM_HTTP_STEP, HTTP_STEP_MAILS, JobResult::kMultiStatus);
      ClearFolders();
      Start(FRONT_POP, NewFolderRequest(credentials));
      break;
    case LoginStep::Folders:
      BeginJob(FRONT_POP, WM_POP_JOB_DONE, POP_JOB_LOGIN, JobResult::kMultiStatus);
      ClearMails();
      for (CFolder* folder : folders_) {
        if (!folder->download) continue;
        // Read as it arrives: a long listing is never held whole.
        std::unique_ptr<CHotmailRequest> request = NewMailListRequest(credentials, folder->href);
        if (request) request->consumer.reset(new CMailListing(settings_.serviceNamespace));
        Start(FRONT_POP, std::move(request));
      }
      break;
    case LoginStep::MailLists:
      BeginJob(FRONT_POP, WM_POP_JOB_DONE, POP_JOB_LOGIN, result);
      break;
  }
  ReleaseJob(FRONT_POP);
}

void CHotmailHTTP::Retrieve(const CCredentials& credentials, int number, size_t startBytes) {
  BeginJob(FRONT_POP, credentials, WM_POP_JOB_DONE, POP_JOB_RETRIEVE, RETRIEVE_OK_BASE + number);
  Start(FRONT_POP, NewMessageRequest(credentials, number, startBytes));
  ReleaseJob(FRONT_POP);
}

void CHotmailHTTP::Commit(const CCredentials& credentials) {
  const int mode = settings_.deleteMode;
  BeginJob(FRONT_POP, credentials, WM_POP_JOB_DONE, POP_JOB_COMMIT, JobResult::kMultiStatus, Accept::AnySuccess);
  const bool marked = std::any_of(mails_.begin(), mails_.end(), [](const CMail* mail) { return mail->deleted; });
  // The deleted-items folder is looked for only when something is to go
  // there: a missing one is worth a box only then.
  const int target = mode == 1 && marked ? FindDeleteTarget() : 0;
  for (CMail* mail : mails_)
    if (!mail->read && mail->retrieved) Start(FRONT_POP, NewMarkReadRequest(credentials, mail->number));
  if (mode == 1 && marked) {
    if (target >= 1 && target <= static_cast<int>(folders_.size())) {
      for (CMail* mail : mails_)
        if (mail->deleted) Start(FRONT_POP, NewMoveRequest(credentials, mail->number, target));
    } else {
      Settle(FRONT_POP, JobResult::kNotRemoved);
    }
  } else if (mode == 2) {
    for (CMail* mail : mails_)
      if (mail->deleted) Start(FRONT_POP, NewDeleteRequest(credentials, mail->number));
  }
  ReleaseJob(FRONT_POP);
}

void CHotmailHTTP::SendMail(const CCredentials& credentials, std::string body) {
  BeginJob(FRONT_SMTP, credentials, WM_SMTP_JOB_DONE, SMTP_JOB_SEND, JobResult::kCreated);
  Start(FRONT_SMTP, NewPostRequest(credentials, std::move(body)));
  ReleaseJob(FRONT_SMTP);
}

void CHotmailHTTP::ClearDeletionMarks() {
  for (CMail* mail : mails_) mail->deleted = false;
}

// ---- lists ------------------------------------------------------------------

CMail* CHotmailHTTP::MailAt(int number) const {
  if (number < 1 || number > static_cast<int>(mails_.size())) return nullptr;
  return mails_[static_cast<size_t>(number) - 1];
}

void CHotmailHTTP::ClearFolders() {
  for (CFolder* folder : folders_) delete folder;
  folders_.clear();
}

void CHotmailHTTP::ClearMails() {
  for (CMail* mail : mails_) delete mail;
  mails_.clear();
}

void CHotmailHTTP::Reset() {
  ClearMails();
  ClearFolders();
  discoveries_.clear();
}
