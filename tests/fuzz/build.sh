#!/bin/sh
# Builds the MIME and command parser fuzz target with clang's libFuzzer and
# AddressSanitizer, outside the CMake build (it is not part of the tests).
# Run: tests/fuzz/build.sh && ./mime-fuzz -max_total_time=60 corpus/
set -e
root=$(cd "$(dirname "$0")/../.." && pwd)
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -I"$root" -I"$root/platform/posix/include" \
  "$root/tests/fuzz/MimeFuzz.cpp" "$root/imap/MimePart.cpp" "$root/imap/ImapBody.cpp" \
  "$root/imap/ImapParser.cpp" "$root/imap/ImapWriter.cpp" "$root/imap/ImapCommandReader.cpp" \
  -o "${OUT:-mime-fuzz}"
