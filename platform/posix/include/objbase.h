// COM start-up. The Linux build has no COM objects (the XML reader uses
// libxml2), so initialisation only keeps the Win32 contract of success.
#ifndef KWIN32_OBJBASE_H
#define KWIN32_OBJBASE_H

#include <windows.h>

typedef LONG HRESULT;
#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

WINBASEAPI HRESULT WINAPI CoInitialize(LPVOID pvReserved);
WINBASEAPI void WINAPI CoUninitialize(void);

#endif
