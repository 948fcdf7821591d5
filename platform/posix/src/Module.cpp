// Modules: the executable and shared objects loaded with LoadLibraryA.
// An HMODULE points at a record that holds the dlopen handle, the file path,
// the module's entry point and its resources.
#include <windows.h>

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <list>
#include <mutex>

#include "Internal.h"
#include "kwin32/ModuleEntry.h"

namespace {

struct Module {
  void* handle = nullptr;
  std::string path;
  KWin32DllEntry entry = nullptr;
  KWin32ModuleResources resources = {};
  int loadCount = 0;
  bool pseudo = false;      // wininet.dll, a message table only
  bool executable = false;  // the program itself; dlsym goes through dlopen(NULL)
};

std::recursive_mutex modulesLock;
std::list<Module> modules;  // std::list keeps record addresses stable

// Filled by KWin32RegisterModule while dlopen runs the module's constructors.
thread_local Module* registering = nullptr;

HMODULE ToHandle(Module* m) { return reinterpret_cast<HMODULE>(m); }

Module* FindRecord(HMODULE h) {
  for (Module& m : modules)
    if (ToHandle(&m) == h) return &m;
  return nullptr;
}

Module& ExecutableRecord() {
  std::lock_guard<std::recursive_mutex> lock(modulesLock);
  for (Module& m : modules)
    if (m.executable) return m;
  modules.emplace_back();
  modules.back().executable = true;
  modules.back().handle = dlopen(nullptr, RTLD_NOW);
  return modules.back();
}

std::string ExecutablePath() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

bool EqualsIgnoreCase(const char* a, const char* b) { return strcasecmp(a, b) == 0; }

}  // namespace

void KWin32RegisterModule(KWin32DllEntry entry, const KWin32ModuleResources* resources) {
  if (registering == nullptr || resources == nullptr) return;
  registering->entry = entry;
  registering->resources = *resources;
}

const KWin32DialogResource* kwin32::FindDialog(HINSTANCE instance, UINT id) {
  std::lock_guard<std::recursive_mutex> lock(modulesLock);
  Module* m = FindRecord(instance);
  if (m == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  for (size_t i = 0; i < m->resources.dialogCount; ++i)
    if (m->resources.dialogs[i].id == id) return &m->resources.dialogs[i];
  SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
  return nullptr;
}

HMODULE kwin32::WinInetModule() {
  std::lock_guard<std::recursive_mutex> lock(modulesLock);
  for (Module& m : modules)
    if (m.pseudo) return ToHandle(&m);
  modules.emplace_back();
  modules.back().pseudo = true;
  modules.back().path = "wininet.dll";
  return ToHandle(&modules.back());
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
  if (lpModuleName == nullptr) return ToHandle(&ExecutableRecord());
  // WinInet lives inside this platform layer, so it is always loaded.
  if (EqualsIgnoreCase(lpModuleName, "wininet.dll") || EqualsIgnoreCase(lpModuleName, "wininet"))
    return kwin32::WinInetModule();
  std::lock_guard<std::recursive_mutex> lock(modulesLock);
  for (Module& m : modules) {
    if (m.pseudo || m.executable) continue;
    const char* base = strrchr(m.path.c_str(), '/');
    base = base ? base + 1 : m.path.c_str();
    if (EqualsIgnoreCase(base, lpModuleName) || EqualsIgnoreCase(m.path.c_str(), lpModuleName)) return ToHandle(&m);
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  void* handle = nullptr;
  {
    std::lock_guard<std::recursive_mutex> lock(modulesLock);
    Module* m = FindRecord(hModule);
    if (m == nullptr || m->pseudo) {
      SetLastError(m ? ERROR_PROC_NOT_FOUND : ERROR_INVALID_HANDLE);
      return nullptr;
    }
    handle = m->handle;
  }
  dlerror();
  void* sym = dlsym(handle, lpProcName);
  if (sym == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(sym);
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  std::string path;
  if (hModule == nullptr) {
    path = ExecutablePath();
  } else {
    std::lock_guard<std::recursive_mutex> lock(modulesLock);
    Module* m = FindRecord(hModule);
    if (m == nullptr) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
    path = m->executable ? ExecutablePath() : m->path;
  }
  if (nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  // Like Windows: a path that does not fit is cut, terminated, and the
  // result is the buffer size with ERROR_INSUFFICIENT_BUFFER.
  DWORD copied = kwin32::CopyToBuffer(path, lpFilename, nSize);
  if (path.size() >= nSize) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  SetLastError(ERROR_SUCCESS);
  return copied;
}

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
  if (lpLibFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::lock_guard<std::recursive_mutex> lock(modulesLock);
  Module candidate;
  registering = &candidate;
  void* handle = dlopen(lpLibFileName, RTLD_NOW | RTLD_LOCAL);
  registering = nullptr;
  if (handle == nullptr) {
    SetLastError(access(lpLibFileName, F_OK) == 0 ? ERROR_DLL_INIT_FAILED : ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  for (Module& m : modules) {
    if (!m.executable && m.handle == handle) {
      ++m.loadCount;
      dlclose(handle);  // keep one dlopen reference per record
      return ToHandle(&m);
    }
  }
  char real[PATH_MAX];
  candidate.handle = handle;
  candidate.path = realpath(lpLibFileName, real) ? real : lpLibFileName;
  candidate.loadCount = 1;
  modules.push_back(candidate);
  Module& m = modules.back();
  if (m.entry != nullptr && !m.entry(ToHandle(&m), DLL_PROCESS_ATTACH, nullptr)) {
    // A refused attach unloads the module, as the Windows loader does.
    modules.pop_back();
    dlclose(handle);
    SetLastError(ERROR_DLL_INIT_FAILED);
    return nullptr;
  }
  return ToHandle(&m);
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  std::lock_guard<std::recursive_mutex> lock(modulesLock);
  for (auto it = modules.begin(); it != modules.end(); ++it) {
    if (ToHandle(&*it) != hLibModule || it->executable || it->pseudo) continue;
    if (--it->loadCount > 0) return TRUE;
    if (it->entry) it->entry(hLibModule, DLL_PROCESS_DETACH, nullptr);
    void* handle = it->handle;
    modules.erase(it);
    dlclose(handle);
    return TRUE;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
  std::lock_guard<std::recursive_mutex> lock(modulesLock);
  Module* m = FindRecord(hInstance);
  if (m == nullptr || lpBuffer == nullptr || cchBufferMax <= 0) {
    SetLastError(m ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return 0;
  }
  for (size_t i = 0; i < m->resources.stringCount; ++i) {
    const KWin32StringResource& r = m->resources.strings[i];
    if (r.id == uID) return static_cast<int>(kwin32::CopyToBuffer(r.text, lpBuffer, static_cast<DWORD>(cchBufferMax)));
  }
  lpBuffer[0] = '\0';
  SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
  return 0;
}
