// Paths and versions of modules and the pure path helpers: splitting,
// joining and the long-path prefix. Nothing here logs.
#pragma once

#include "base/win.h"

#include <string>
#include <vector>

// Full path of the module (null: the executable).
std::wstring GetModulePath(HMODULE module = nullptr);
// Folder of the executable's path.
std::wstring GetModuleFolder();
// File part, with extension, of GetModulePath(module).
std::wstring GetModuleName(HMODULE module = nullptr);
// Splits at the last "\" (or "/" when there is none, or when the path begins
// with "/"). Without a separator the folder is empty.
void SplitPath(const std::wstring& path, std::wstring& folder, std::wstring& file);
// Splits at the last "."; the extension excludes the dot.
void SplitFileName(const std::wstring& file, std::wstring& base, std::wstring& extension);
// The file name without folder (the part after the last "\" or "/", and
// after a drive's ":") and without its last extension. A leading dot does not
// start an extension; "." and ".." stay whole.
std::wstring FileStem(const std::wstring& path);
// Joins with "\" (or "/" in slash style); one trailing separator is removed
// from each non-empty part before it is appended.
std::wstring JoinPath(const std::vector<std::wstring>& parts, bool slashStyle = false);
// JoinPath of a and b, in slash style when a begins with "/".
std::wstring CombinePath(const std::wstring& a, const std::wstring& b);
// "\\?\" in front ("\\?\UNC\" for "\\server\..."); prefixed paths unchanged.
std::wstring AddLongPathPrefix(const std::wstring& path);

// The fixed part of the file's version resource (the path as given).
VS_FIXEDFILEINFO GetFileVersion(const std::wstring& path);
