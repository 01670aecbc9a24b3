// The environment of a program the tool starts, and its block.
//
// An elevated process gets its environment from the user's profile: a user
// may set windir, TEMP or PATH in their own registry key and so steer what
// an elevated child runs or writes. A child of the tool therefore gets the
// machine's variables only (CreateEnvironmentBlock without a user token,
// read by the Win32 launcher), with these set over them:
//   SystemRoot, windir  the system's Windows folder (GetSystemWindowsDirectoryW)
//   ComSpec             <Windows folder>\System32\cmd.exe
//   Path                <Windows folder>\System32, then the machine's Path
//   TEMP, TMP           the child's working directory (the locked package folder)
// The machine's other variables (PATHEXT, the processor variables, ...) stay,
// as a batch expects them. Every child the tool starts has the system's own
// bitness (devcon for 64-bit Windows on 64-bit Windows, rundll32 and cmd
// through Sysnative or with redirection off), so its system folder is
// System32 as the child sees it.
#pragma once

#include <string>
#include <vector>

namespace platform {

struct EnvironmentVariable {
    std::wstring name;
    std::wstring value;

    bool operator==(const EnvironmentVariable& other) const { return name == other.name && value == other.value; }
};

// The entries of a block of NUL-terminated "name=value" strings that ends
// with an empty one. A name may begin with "=" (the per-drive folders); an
// entry without "=" after its first character is skipped.
std::vector<EnvironmentVariable> ParseEnvironmentBlock(const wchar_t* block);

// The block CreateProcessW takes with CREATE_UNICODE_ENVIRONMENT: one
// "name=value" string per variable, each ending in a NUL, sorted by name
// without regard to case (upper-cased, in code-unit order), the block ending
// in a further NUL. Of two variables whose names differ only in case the
// later one stays. A variable with an empty name, or a NUL or "=" in its name
// (after its first character), or a NUL in its value is left out.
std::vector<wchar_t> BuildEnvironmentBlock(const std::vector<EnvironmentVariable>& variables);

// The machine's variables with the tool's set over them (see above);
// `windowsFolder` and `currentDirectory` without a trailing backslash.
std::vector<EnvironmentVariable> ChildEnvironment(const std::vector<EnvironmentVariable>& machine,
                                                  const std::wstring& windowsFolder,
                                                  const std::wstring& currentDirectory);

}  // namespace platform
