// Per-thread last-error value, as kernel32 keeps it in the thread block.
#include <windows.h>
#include <objbase.h>

namespace {
thread_local DWORD lastError = 0;
}

DWORD WINAPI GetLastError(void) { return lastError; }
void WINAPI SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

HRESULT WINAPI CoInitialize(LPVOID) { return S_OK; }
void WINAPI CoUninitialize(void) {}
