#!/bin/sh
# Builds the XML document check for Windows (MSXML) and runs it under Wine.
#   run_msxml_check.sh SOURCE_DIR WORK_DIR
set -eu
src=$1
work=$2
mkdir -p "$work"
x86_64-w64-mingw32-g++-posix -std=c++17 -O1 -Wall -Wextra -fexec-charset=CP932 \
  -I"$src" -I"$src/platform/windows/include" \
  "$src/tests/httpmail/XmlDocumentCheck.cpp" "$src/httpmail/XmlDocument.cpp" "$src/httpmail/XmlDocument_msxml.cpp" \
  "$src/config/MessageText.cpp" \
  -o "$work/xmlcheck.exe" -static -lole32 -loleaut32 -luuid
cd "$work"
WINEPREFIX="$work/prefix" WINEDEBUG=-all /usr/lib/wine/wine64 xmlcheck.exe 2>/dev/null
