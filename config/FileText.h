// Whole files read and written through the file API: a file is replaced
// by writing a temporary file beside it and moving it over the old one, so
// a reader finds the old text or the new, never half of one.
#ifndef KESTRELON_FILE_TEXT_H
#define KESTRELON_FILE_TEXT_H

#include <windows.h>

#include <string>

// Appends the file's bytes to `data`. False when it cannot be read or is
// longer than `limit`; `missing` then tells whether it is not there.
bool ReadWholeFile(const std::string& path, std::string& data, size_t limit, bool* missing = nullptr);
// ERROR_SUCCESS, or the error that left the old file (or none) in place.
DWORD ReplaceWholeFile(const std::string& path, const std::string& data);
// Writes the file in place, not flushed: for files whose reader checks
// them whole (a size and a hash kept elsewhere).
DWORD WriteWholeFile(const std::string& path, const std::string& data);

#endif
