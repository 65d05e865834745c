#pragma once
// The Win32-style values of the utility library's file model, with the Win32
// error numbers it reports where callers test one.

#include <cstdint>

using DWORD = uint32_t;

// Access.
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;

// Share modes. POSIX has no mandatory sharing: accepted and not enforced.
constexpr DWORD FILE_SHARE_READ = 1;
constexpr DWORD FILE_SHARE_WRITE = 2;
constexpr DWORD FILE_SHARE_DELETE = 4;

// Creation dispositions.
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;

constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

// Seek origins.
constexpr int FILE_BEGIN = 0;
constexpr int FILE_CURRENT = 1;
constexpr int FILE_END = 2;

// Move flags.
constexpr DWORD MOVEFILE_REPLACE_EXISTING = 1;
constexpr DWORD MOVEFILE_COPY_ALLOWED = 2;

// Win32 error numbers.
constexpr unsigned ERROR_FILE_NOT_FOUND = 2;
constexpr unsigned ERROR_PATH_NOT_FOUND = 3;
constexpr unsigned ERROR_INVALID_HANDLE = 6;
constexpr unsigned ERROR_NO_MORE_FILES = 18;
constexpr unsigned ERROR_FILE_EXISTS = 80;
constexpr unsigned ERROR_INVALID_PARAMETER = 87;
constexpr unsigned ERROR_BAD_PATHNAME = 161;
constexpr unsigned ERROR_ALREADY_EXISTS = 183;
constexpr unsigned ERROR_FILENAME_EXCED_RANGE = 206;
constexpr unsigned ERROR_DIRECTORY = 267;
