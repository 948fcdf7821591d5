#include "BeckyAPI.h"

namespace {
constexpr int kGetWindowHandles = 2;  // index in kFunctionNames
constexpr int kGetDataFolder = 5;
typedef BOOL(WINAPI* GetWindowHandlesFn)(HWND*, HWND*, HWND*, HWND*);
typedef LPCSTR(WINAPI* GetDataFolderFn)();
}  // namespace

const char* const CBeckyAPI::kFunctionNames[kFunctionCount] = {
    "BKA_GetVersion",          "BKA_Command",
    "BKA_GetWindowHandles",    "BKA_RegisterCommand",
    "BKA_RegisterUICallback",  "BKA_GetDataFolder",
    "BKA_GetTempFolder",       "BKA_GetTempFileName",
    "BKA_GetCurrentMailBox",   "BKA_SetCurrentMailBox",
    "BKA_GetCurrentFolder",    "BKA_SetCurrentFolder",
    "BKA_GetFolderDisplayName", "BKA_SetMessageText",
    "BKA_GetCurrentMail",      "BKA_SetCurrentMail",
    "BKA_GetNextMail",         "BKA_SetSel",
    "BKA_AppendMessage",       "BKA_MoveSelectedMessages",
    "BKA_GetStatus",           "BKA_ComposeMail",
    "BKA_GetCharSet",          "BKA_GetSource",
    "BKA_SetSource",           "BKA_GetHeader",
    "BKA_GetText",             "BKA_SetText",
    "BKA_GetSpecifiedHeader",  "BKA_SetSpecifiedHeader",
    "BKA_CompGetCharSet",      "BKA_CompGetSource",
    "BKA_CompSetSource",       "BKA_CompGetHeader",
    "BKA_CompGetSpecifiedHeader", "BKA_CompSetSpecifiedHeader",
    "BKA_CompGetText",         "BKA_CompSetText",
    "BKA_CompAttachFile",      "BKA_Alloc",
    "BKA_ReAlloc",             "BKA_Free",
    "BKA_ISO_2022_JP",         "BKA_ISO_2022_KR",
    "BKA_HZ_GB2312",           "BKA_ISO_8859_2",
    "BKA_EUC_JP",              "BKA_UTF_7",
    "BKA_UTF_8",               "BKA_B64Convert",
    "BKA_QPConvert",           "BKA_MIMEHeader",
    "BKA_SerializeRcpts",      "BKA_Connect",
};

CBeckyAPI::CBeckyAPI() : host_(nullptr) {}

CBeckyAPI::~CBeckyAPI() {}

bool CBeckyAPI::Init() {
  if (host_ != nullptr) return true;
  // The host exports its functions from its own executable.
  host_ = GetModuleHandleA(nullptr);
  if (host_ == nullptr) return false;
  for (int i = 0; i < kFunctionCount; ++i) {
    functions_[i] = GetProcAddress(host_, kFunctionNames[i]);
    if (functions_[i] == nullptr) {
      host_ = nullptr;
      return false;
    }
  }
  return true;
}

bool CBeckyAPI::GetWindowHandles(HWND* main, HWND* tree, HWND* list, HWND* view) {
  if (host_ == nullptr) return false;
  auto fn = reinterpret_cast<GetWindowHandlesFn>(reinterpret_cast<void*>(functions_[kGetWindowHandles]));
  return fn(main, tree, list, view) != 0;
}

std::string CBeckyAPI::GetDataFolder() {
  if (host_ == nullptr) return std::string();
  auto fn = reinterpret_cast<GetDataFolderFn>(reinterpret_cast<void*>(functions_[kGetDataFolder]));
  LPCSTR folder = fn();
  return folder ? folder : "";
}
