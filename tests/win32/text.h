// UTF-8 <-> wide text for the stand-in, whose ANSI code page is UTF-8.
#pragma once

#include <string>

namespace standin {
std::wstring WidenUtf8(const char* utf8);
std::string NarrowUtf8(const std::wstring& wide);
} // namespace standin
