// The character that separates folders in a path on this platform.
#ifndef KESTRELON_PATH_SEPARATOR_H
#define KESTRELON_PATH_SEPARATOR_H

constexpr char kPathSeparator = '\\';

#endif
