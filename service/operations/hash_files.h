#pragma once
// The hash file that HASH writes beside every hashed file.

#include <string>

#include "platform/cstring.h"
#include "platform/windows_types.h"

// The seven LF-ended lines of a hash file: its own path (8-bit, as given),
// then three times the heading "Хэш файла. Формат №" and a digit, each
// followed by one rendering of the digest: 1 the bytes as upper-case hex in
// order, 2 the same with the two digits of every byte swapped, 3 the bytes in
// reverse order. The heading is always its Windows-1251 bytes, whatever the
// ANSI code page, so that hash files read the same on every installation.
std::string HashFileText(const CStringA& hashFilePath, const BYTE* digest, DWORD length);
