// The application's one notion of blank text: the INI reader, the switch
// reading, the side modes and the firmware trailer all trim with it.
#pragma once

#include <string>

namespace app {

// Blank: space, tab, carriage return, line feed, vertical tab, form feed;
// nothing else, whatever the locale (a no-break space is text).
bool IsBlank(wchar_t c);

// The text without its leading and trailing blanks.
std::wstring Trim(const std::wstring& text);

}  // namespace app
