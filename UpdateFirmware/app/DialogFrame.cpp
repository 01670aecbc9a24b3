#include "app/DialogFrame.h"

namespace app {

std::wstring BuildCommandText(const std::wstring& commandLine) {
    std::size_t p = 0;
    const std::size_t n = commandLine.size();
    // The program name: up to the first blank outside double quotes.
    bool quoted = false;
    while (p < n && (commandLine[p] > L' ' || (commandLine[p] != L'\0' && quoted))) {
        if (commandLine[p] == L'"') quoted = !quoted;
        ++p;
    }
    while (p < n && commandLine[p] != L'\0' && commandLine[p] <= L' ') ++p;

    std::wstring text;
    for (; p < n && commandLine[p] != L'\0'; ++p) {
        if (commandLine[p] != L'\t' && commandLine[p] != L'\n') text.push_back(commandLine[p]);
    }
    return text;
}

std::wstring WindowTitle() {
    return std::wstring(L"Vantrel USB 3.1 Hub Firmware Update Tool") + kToolVersionText;
}

}  // namespace app
