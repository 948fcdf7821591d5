# Writes the dialog templates of a resource script as a C++ table for the
# Linux loader, so that the terminal shows the same texts as Windows.
#   cmake -DRC=Kestrelon.rc -DOUT=DialogTable.cpp -P DialogTable.cmake
# It reads the statements the module's script uses: NAME DIALOG x, y, cx, cy;
# CAPTION; BEGIN/END; and the controls DEFPUSHBUTTON, PUSHBUTTON, LTEXT,
# GROUPBOX, AUTOCHECKBOX ("text", id, x, y, cx, cy) and EDITTEXT (id, x, y,
# cx, cy). Anything else inside a dialog stops the build rather than being lost.
file(STRINGS "${RC}" lines ENCODING UTF-8)

set(kinds_DEFPUSHBUTTON DefPushButton)
set(kinds_PUSHBUTTON PushButton)
set(kinds_LTEXT Static)
set(kinds_GROUPBOX GroupBox)
set(kinds_AUTOCHECKBOX AutoCheckBox)
set(kinds_EDITTEXT Edit)

set(body "")
set(dialogs "")
set(dialog "")
set(inside FALSE)
set(n 0)
foreach(line IN LISTS lines)
  string(STRIP "${line}" line)
  if(line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)[ \t]+DIALOG(EX)?[ \t]")
    set(dialog "${CMAKE_MATCH_1}")
    set(caption "")
    set(controls "")
    set(count 0)
  elseif(dialog AND line MATCHES "^CAPTION[ \t]+\"(.*)\"$")
    set(caption "${CMAKE_MATCH_1}")
  elseif(dialog AND line STREQUAL "BEGIN")
    set(inside TRUE)
  elseif(dialog AND inside AND line STREQUAL "END")
    string(APPEND body "const KWin32DialogControl kControls${n}[] = {\n${controls}};\n")
    string(APPEND dialogs "    {${dialog}, \"${caption}\", kControls${n}, ${count}},\n")
    math(EXPR n "${n} + 1")
    set(dialog "")
    set(inside FALSE)
  elseif(dialog AND inside AND line MATCHES "^(DEFPUSHBUTTON|PUSHBUTTON|LTEXT|GROUPBOX|AUTOCHECKBOX)[ \t]+\"([^\"]*)\"[ \t]*,[ \t]*([^,]+),[ \t]*([0-9]+),[ \t]*([0-9]+),[ \t]*([0-9]+),[ \t]*([0-9]+)")
    string(STRIP "${CMAKE_MATCH_3}" id)
    string(APPEND controls "    {KWin32ControlKind::${kinds_${CMAKE_MATCH_1}}, \"${CMAKE_MATCH_2}\", ${id}, ${CMAKE_MATCH_4}, ${CMAKE_MATCH_5}, ${CMAKE_MATCH_6}, ${CMAKE_MATCH_7}},\n")
    math(EXPR count "${count} + 1")
  elseif(dialog AND inside AND line MATCHES "^EDITTEXT[ \t]+([^,]+),[ \t]*([0-9]+),[ \t]*([0-9]+),[ \t]*([0-9]+),[ \t]*([0-9]+)")
    string(STRIP "${CMAKE_MATCH_1}" id)
    string(APPEND controls "    {KWin32ControlKind::Edit, \"\", ${id}, ${CMAKE_MATCH_2}, ${CMAKE_MATCH_3}, ${CMAKE_MATCH_4}, ${CMAKE_MATCH_5}},\n")
    math(EXPR count "${count} + 1")
  elseif(dialog AND inside AND NOT line STREQUAL "" AND NOT line MATCHES "^//")
    message(FATAL_ERROR "${RC}: a dialog statement this build cannot carry: ${line}")
  endif()
endforeach()

file(WRITE "${OUT}.tmp"
"// Generated from ${RC} at build time; do not edit.
#include \"kwin32/ModuleEntry.h\"
#include \"resources/ResourceIds.h\"

namespace {
${body}}  // namespace

extern const KWin32DialogResource kModuleDialogs[] = {
${dialogs}};
extern const size_t kModuleDialogCount = sizeof kModuleDialogs / sizeof kModuleDialogs[0];
")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
