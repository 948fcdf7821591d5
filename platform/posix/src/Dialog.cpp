// Modal dialogs on a terminal. The template comes from the module's
// resources; the dialog procedure runs as on Windows (WM_INITDIALOG, then
// WM_COMMAND for each button pressed or box ticked). The dialog is drawn in
// UTF-8 as a numbered list of its tab stops in tab order: each edit box with
// the labels beside it and its text, each check box with its mark, and the
// push buttons. The user types a number to edit, tick or press; Enter alone
// presses the default button, Escape or the end of input cancels. Without a
// terminal on standard input the dialog is cancelled at once.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "Internal.h"

namespace {

using Control = KWin32DialogControl;
using Kind = KWin32ControlKind;

struct Dialog {
  const KWin32DialogResource* resource = nullptr;
  std::map<int, std::string> texts;  // edit boxes, in the module's code page
  std::map<int, bool> checks;        // check boxes
  bool ended = false;
  INT_PTR result = 0;
};

Dialog* current = nullptr;  // modal: one at a time, on the window thread

HWND DialogHandle() { return reinterpret_cast<HWND>(0xD1A106); }

bool IsTabStop(const Control& c) { return c.kind != Kind::Static && c.kind != Kind::GroupBox; }

bool OverlapsVertically(const Control& a, const Control& b) { return a.y < b.y + b.cy && b.y < a.y + a.cy; }

bool Contains(const Control& outer, const Control& inner) {
  return inner.x >= outer.x && inner.y >= outer.y && inner.x + inner.cx <= outer.x + outer.cx &&
         inner.y + inner.cy <= outer.y + outer.cy;
}

std::string Text(const char* cp932) { return kwin32::Cp932ToUtf8(cp932); }

std::string Trimmed(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// The group box around an edit box and the static texts on its row: the
// nearest one on the left is its label, the nearest on the right its unit.
std::string EditLine(const Dialog& d, const Control& edit) {
  const Control* group = nullptr;
  const Control* left = nullptr;
  const Control* right = nullptr;
  for (size_t i = 0; i < d.resource->controlCount; ++i) {
    const Control& c = d.resource->controls[i];
    if (c.kind == Kind::GroupBox && Contains(c, edit)) group = &c;
    if (c.kind != Kind::Static || !OverlapsVertically(c, edit)) continue;
    if (c.x + c.cx <= edit.x + 2 && (left == nullptr || c.x > left->x)) left = &c;
    if (c.x >= edit.x + edit.cx - 2 && (right == nullptr || c.x < right->x)) right = &c;
  }
  std::string line;
  if (group) line += Text(group->text) + " / ";
  if (left) line += Trimmed(Text(left->text)) + " ";
  auto text = d.texts.find(edit.id);
  line += "[" + Text(text == d.texts.end() ? "" : text->second.c_str()) + "]";
  if (right) line += " " + Trimmed(Text(right->text));
  return line;
}

std::string ControlLine(const Dialog& d, const Control& c) {
  switch (c.kind) {
    case Kind::Edit: return EditLine(d, c);
    case Kind::AutoCheckBox: {
      auto check = d.checks.find(c.id);
      return std::string(check != d.checks.end() && check->second ? "[x] " : "[ ] ") + Text(c.text);
    }
    case Kind::DefPushButton: return "<" + Text(c.text) + "> (Enter)";
    default: return "<" + Text(c.text) + ">";
  }
}

std::vector<const Control*> TabStops(const Dialog& d) {
  std::vector<const Control*> stops;
  for (size_t i = 0; i < d.resource->controlCount; ++i)
    if (IsTabStop(d.resource->controls[i])) stops.push_back(&d.resource->controls[i]);
  return stops;
}

void Draw(const Dialog& d, const std::vector<const Control*>& stops) {
  std::string out = "\n== " + Text(d.resource->caption) + " ==\n";
  for (size_t i = 0; i < stops.size(); ++i)
    out += "  " + std::to_string(i + 1) + ". " + ControlLine(d, *stops[i]) + "\n";
  out += "Number to edit, tick or press (Enter: the default button, Esc or Ctrl-D: cancel): ";
  fputs(out.c_str(), stderr);
  fflush(stderr);
}

// One line from the terminal without its line end; false at the end of input.
bool ReadLine(std::string& line) {
  char* buf = nullptr;
  size_t size = 0;
  ssize_t n = getline(&buf, &size, stdin);
  if (n >= 0) line.assign(buf, static_cast<size_t>(n));
  free(buf);
  if (n < 0) return false;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return true;
}

void Command(DLGPROC proc, int id) { proc(DialogHandle(), WM_COMMAND, MAKELONG(id, BN_CLICKED), 0); }

const Control* DefaultButton(const std::vector<const Control*>& stops) {
  for (const Control* c : stops)
    if (c->kind == Kind::DefPushButton) return c;
  return nullptr;
}

// Acts on one answer at the prompt; false when the input has ended.
bool Answer(Dialog& d, DLGPROC proc, const std::vector<const Control*>& stops) {
  std::string line;
  if (!ReadLine(line)) return false;
  if (line == "\x1b") {
    Command(proc, IDCANCEL);
    return true;
  }
  if (line.empty()) {
    if (const Control* def = DefaultButton(stops)) Command(proc, def->id);
    return true;
  }
  char* end = nullptr;
  long n = strtol(line.c_str(), &end, 10);
  while (end && *end == ' ') ++end;
  if (end == line.c_str() || *end != '\0' || n < 1 || static_cast<size_t>(n) > stops.size()) {
    fprintf(stderr, "No control %s here; type one of the numbers 1 to %zu.\n", line.c_str(), stops.size());
    return true;
  }
  const Control& c = *stops[static_cast<size_t>(n) - 1];
  if (c.kind == Kind::Edit) {
    fprintf(stderr, "%s  new text (empty clears it): ", EditLine(d, c).c_str());
    fflush(stderr);
    std::string text;
    if (!ReadLine(text)) return false;
    d.texts[c.id] = kwin32::Utf8ToCp932(text);
  } else if (c.kind == Kind::AutoCheckBox) {
    d.checks[c.id] = !d.checks[c.id];
    Command(proc, c.id);
  } else {
    Command(proc, c.id);
  }
  return true;
}

// Whether the running dialog has control `id` of that kind; Windows fails
// such a call for a control the template lacks.
bool HasControl(int id, Kind kind) {
  if (current == nullptr) return false;
  for (size_t i = 0; i < current->resource->controlCount; ++i) {
    const Control& c = current->resource->controls[i];
    if (c.id == id && c.kind == kind) return true;
  }
  SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
  return false;
}

}  // namespace

INT_PTR WINAPI DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND, DLGPROC lpDialogFunc,
                               LPARAM dwInitParam) {
  if (lpDialogFunc == nullptr || current != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  // Templates are named by number only on this layer.
  UINT id = static_cast<UINT>(reinterpret_cast<ULONG_PTR>(lpTemplateName));
  Dialog dialog;
  dialog.resource = id > 0xFFFF ? nullptr : kwin32::FindDialog(hInstance, id);
  if (dialog.resource == nullptr) {
    if (id > 0xFFFF) SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return -1;
  }
  current = &dialog;
  lpDialogFunc(DialogHandle(), WM_INITDIALOG, 0, dwInitParam);
  bool interactive = isatty(STDIN_FILENO) != 0;
  std::vector<const Control*> stops = TabStops(dialog);
  while (!dialog.ended) {
    if (interactive) Draw(dialog, stops);
    if (!interactive || !Answer(dialog, lpDialogFunc, stops)) {
      if (interactive) fputs("\n", stderr);
      Command(lpDialogFunc, IDCANCEL);
      // With no one left to answer, a procedure that keeps the dialog open
      // must not keep the host waiting forever.
      if (!dialog.ended) EndDialog(DialogHandle(), IDCANCEL);
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
  if (!HasControl(nIDDlgItem, Kind::Edit)) return FALSE;
  current->texts[nIDDlgItem] = bSigned ? std::to_string(static_cast<int>(uValue)) : std::to_string(uValue);
  return TRUE;
}

UINT WINAPI GetDlgItemInt(HWND, int nIDDlgItem, BOOL* lpTranslated, BOOL bSigned) {
  if (lpTranslated) *lpTranslated = FALSE;
  if (!HasControl(nIDDlgItem, Kind::Edit)) return 0;
  const std::string& text = current->texts[nIDDlgItem];
  char* end = nullptr;
  long long v = strtoll(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || (!bSigned && v < 0) || v > 0xFFFFFFFFLL) return 0;
  if (lpTranslated) *lpTranslated = TRUE;
  return static_cast<UINT>(v);
}

BOOL WINAPI CheckDlgButton(HWND, int nIDButton, UINT uCheck) {
  if (!HasControl(nIDButton, Kind::AutoCheckBox)) return FALSE;
  current->checks[nIDButton] = uCheck == BST_CHECKED;
  return TRUE;
}

UINT WINAPI IsDlgButtonChecked(HWND, int nIDButton) {
  if (!HasControl(nIDButton, Kind::AutoCheckBox)) return BST_UNCHECKED;
  return current->checks[nIDButton] ? BST_CHECKED : BST_UNCHECKED;
}
