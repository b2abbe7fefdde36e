// Comparison of names the way the platform's file names and command words
// are compared here: the letters A to Z equal a to z, every other character,
// letters outside ASCII included, by its code. No locale is consulted.
#pragma once

namespace base {

bool EqualIgnoringAsciiCase(const wchar_t* a, const wchar_t* b);

// A drive path ("C:\...") or a UNC path ("\\server\..."). A relative path
// names a file of the current directory, which may be anyone's.
bool IsFullPath(const wchar_t* path);

// The file name of a path: the text after its last backslash, slash or colon.
const wchar_t* FileNamePart(const wchar_t* path);

}  // namespace base
