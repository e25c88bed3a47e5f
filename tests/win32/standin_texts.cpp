// The program's STRINGTABLE as the compiled resources would hold it: block n
// holds the texts 16 * (n - 1) to 16 * n - 1, each as a 16-bit length and its
// UTF-16 characters, an absent text as length 0.
#include "standin.h"

#include <map>
#include <vector>

namespace {

std::map<ULONG_PTR, std::vector<WORD>> blocks;

const std::vector<WORD>* Block(ULONG_PTR number)
{
    auto found = blocks.find(number);
    if (found != blocks.end())
        return &found->second;
    std::vector<WORD> block;
    bool any = false;
    for (unsigned id = (number - 1) * 16; id < number * 16; ++id) {
        const char16_t* text = u"";
        for (std::size_t i = 0; i < standin::TextEntryCount; ++i)
            if (standin::TextEntries[i].id == id) {
                text = standin::TextEntries[i].text;
                any = true;
            }
        const std::u16string s(text);
        block.push_back(static_cast<WORD>(s.size()));
        block.insert(block.end(), s.begin(), s.end());
    }
    if (!any)
        return nullptr;
    return &blocks.emplace(number, block).first->second;
}

} // namespace

HRSRC WINAPI FindResourceA(HMODULE, LPCSTR name, LPCSTR type)
{
    if (type != RT_STRING)
        return nullptr;
    return reinterpret_cast<HRSRC>(
        const_cast<std::vector<WORD>*>(Block(reinterpret_cast<ULONG_PTR>(name))));
}

HGLOBAL WINAPI LoadResource(HMODULE, HRSRC resource)
{
    return resource;
}

LPVOID WINAPI LockResource(HGLOBAL loaded)
{
    return loaded != nullptr ? static_cast<std::vector<WORD>*>(loaded)->data() : nullptr;
}
