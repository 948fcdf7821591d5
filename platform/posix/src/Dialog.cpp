// Modal dialogs on a terminal. The dialog procedure runs as on Windows
// (WM_INITDIALOG, then WM_COMMAND for OK or Cancel); the controls are a
// table of values that the user edits line by line on standard input:
// "ID VALUE" sets an edit box or check box, "ok" confirms, "cancel" or the
// end of input cancels. Without a terminal the dialog is cancelled at once.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <string>

namespace {

struct Dialog {
  std::map<int, std::string> controls;
  bool ended = false;
  INT_PTR result = 0;
};

Dialog* current = nullptr;  // modal: one at a time, on the window thread

HWND DialogHandle() { return reinterpret_cast<HWND>(0xD1A106); }

void ShowControls() {
  fprintf(stderr, "Dialog controls (set one with \"ID VALUE\", then \"ok\" or \"cancel\"):\n");
  for (const auto& c : current->controls) fprintf(stderr, "  %d: %s\n", c.first, c.second.c_str());
}

}  // namespace

INT_PTR WINAPI DialogBoxParamA(HINSTANCE, LPCSTR, HWND, DLGPROC lpDialogFunc, LPARAM dwInitParam) {
  if (lpDialogFunc == nullptr || current != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  Dialog dialog;
  current = &dialog;
  HWND hdlg = DialogHandle();
  lpDialogFunc(hdlg, WM_INITDIALOG, 0, dwInitParam);
  bool interactive = isatty(STDIN_FILENO) != 0;
  if (interactive) ShowControls();
  char line[512];
  while (!dialog.ended) {
    if (!interactive || fgets(line, sizeof line, stdin) == nullptr) {
      lpDialogFunc(hdlg, WM_COMMAND, IDCANCEL, 0);
      break;
    }
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (text == "ok") {
      lpDialogFunc(hdlg, WM_COMMAND, IDOK, 0);
    } else if (text == "cancel") {
      lpDialogFunc(hdlg, WM_COMMAND, IDCANCEL, 0);
    } else {
      char* end = nullptr;
      long id = strtol(text.c_str(), &end, 10);
      if (end == text.c_str()) {
        ShowControls();
        continue;
      }
      while (*end == ' ') ++end;
      dialog.controls[static_cast<int>(id)] = end;
    }
  }
  current = nullptr;
  return dialog.result;
}

BOOL WINAPI EndDialog(HWND, INT_PTR nResult) {
  if (current == nullptr) return FALSE;
  current->ended = true;
  current->result = nResult;
  return TRUE;
}

BOOL WINAPI SetDlgItemInt(HWND, int nIDDlgItem, UINT uValue, BOOL bSigned) {
  if (current == nullptr) return FALSE;
  current->controls[nIDDlgItem] = bSigned ? std::to_string(static_cast<int>(uValue)) : std::to_string(uValue);
  return TRUE;
}

UINT WINAPI GetDlgItemInt(HWND, int nIDDlgItem, BOOL* lpTranslated, BOOL bSigned) {
  if (lpTranslated) *lpTranslated = FALSE;
  if (current == nullptr) return 0;
  const std::string& text = current->controls[nIDDlgItem];
  char* end = nullptr;
  long long v = strtoll(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || (!bSigned && v < 0) || v > 0xFFFFFFFFLL) return 0;
  if (lpTranslated) *lpTranslated = TRUE;
  return static_cast<UINT>(v);
}

BOOL WINAPI CheckDlgButton(HWND, int nIDButton, UINT uCheck) {
  if (current == nullptr) return FALSE;
  current->controls[nIDButton] = std::to_string(uCheck);
  return TRUE;
}

UINT WINAPI IsDlgButtonChecked(HWND, int nIDButton) {
  if (current == nullptr) return BST_UNCHECKED;
  return current->controls[nIDButton] == "1" ? BST_CHECKED : BST_UNCHECKED;
}
