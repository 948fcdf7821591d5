// HINTERNET bookkeeping: the handle table, reference counts, closing, and
// the options a handle carries.
#include "WinInetHandle.h"

#include <iterator>
#include <set>

namespace kwin32::wininet {

namespace {

std::mutex tableLock;
std::set<Object*>& Table() {
  static auto* table = new std::set<Object*>;  // outlives every static destructor
  return *table;
}

// Idle curl handles kept per Internet handle; more are cleaned up at once.
constexpr size_t kIdlePoolSize = 8;

}  // namespace

Object::Object(HandleKind kind, Object* parent)
    : kind_(kind), parent_(parent), receiveTimeout_(parent ? parent->ReceiveTimeout() : kDefaultReceiveTimeout) {
  if (parent_) parent_->AddRef();
}

Object::~Object() {
  if (parent_) parent_->Release();
}

void Object::Release() {
  if (--refs_ == 0) delete this;
}

bool Object::Closed() const {
  for (const Object* o = this; o != nullptr; o = o->parent_)
    if (o->closed_) return true;
  return false;
}

Internet::~Internet() {
  for (auto& entry : idle_) DestroyCurl(entry.second);
}

CURL* Internet::AcquireCurl(const std::string& key) {
  {
    std::lock_guard<std::mutex> guard(poolLock_);
    for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
      if (it->first == key) {
        CURL* curl = it->second;
        idle_.erase(std::next(it).base());
        return curl;
      }
    }
  }
  return curl_easy_init();
}

// The pool keeps the handles used last; the oldest goes when it is full.
void Internet::ReturnCurl(const std::string& key, CURL* curl) {
  CURL* evicted = nullptr;
  {
    std::lock_guard<std::mutex> guard(poolLock_);
    if (idle_.size() >= kIdlePoolSize) {
      evicted = idle_.front().second;
      idle_.erase(idle_.begin());
    }
    idle_.emplace_back(key, curl);
  }
  if (evicted != nullptr) DestroyCurl(evicted);
}

long Internet::AuthScheme(const std::string& key) {
  std::lock_guard<std::mutex> guard(poolLock_);
  auto it = authSchemes_.find(key);
  return it == authSchemes_.end() ? 0 : it->second;
}

void Internet::SetAuthScheme(const std::string& key, long scheme) {
  std::lock_guard<std::mutex> guard(poolLock_);
  if (scheme == 0)
    authSchemes_.erase(key);
  else
    authSchemes_[key] = scheme;
}

HINTERNET Register(Object* object) {
  std::lock_guard<std::mutex> guard(tableLock);
  Table().insert(object);
  return object;
}

ObjectRef Lookup(HINTERNET handle) {
  std::lock_guard<std::mutex> guard(tableLock);
  auto it = Table().find(static_cast<Object*>(handle));
  if (it == Table().end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return ObjectRef();
  }
  (*it)->AddRef();
  return ObjectRef(*it);
}

ObjectRef Lookup(HINTERNET handle, HandleKind kind) {
  std::lock_guard<std::mutex> guard(tableLock);
  auto it = Table().find(static_cast<Object*>(handle));
  if (it == Table().end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return ObjectRef();
  }
  if ((*it)->Kind() != kind) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    return ObjectRef();
  }
  (*it)->AddRef();
  return ObjectRef(*it);
}

ObjectRef Unregister(HINTERNET handle) {
  std::lock_guard<std::mutex> guard(tableLock);
  auto it = Table().find(static_cast<Object*>(handle));
  if (it == Table().end()) return ObjectRef();
  Object* object = *it;
  Table().erase(it);
  return ObjectRef(object);
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

void InitializeCurl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace kwin32::wininet

using namespace kwin32::wininet;

BOOL WINAPI InternetCloseHandle(HINTERNET hInternet) {
  ObjectRef object = Unregister(hInternet);
  if (!object) return Fail(ERROR_INVALID_HANDLE);
  // Pending calls on this handle or its children see the mark and end;
  // the object itself goes when its last reference does.
  object.Get()->MarkClosed();
  return TRUE;
}

BOOL WINAPI InternetSetOptionA(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer, DWORD dwBufferLength) {
  if (dwOption != INTERNET_OPTION_RECEIVE_TIMEOUT && dwOption != INTERNET_OPTION_SECURITY_FLAGS)
    return Fail(ERROR_INTERNET_INVALID_OPTION);
  if (lpBuffer == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (dwBufferLength < sizeof(DWORD)) return Fail(ERROR_INTERNET_BAD_OPTION_LENGTH);
  const DWORD value = *static_cast<const DWORD*>(lpBuffer);
  if (dwOption == INTERNET_OPTION_SECURITY_FLAGS) {
    // Only a request takes them, and only the bits that relax a check.
    ObjectRef object = Lookup(hInternet, HandleKind::Request);
    if (!object) return FALSE;
    static_cast<Request*>(object.Get())->securityFlags = value & kSettableSecurityFlags;
    return TRUE;
  }
  ObjectRef object = Lookup(hInternet);
  if (!object) return FALSE;
  object.Get()->SetReceiveTimeout(value);
  return TRUE;
}
