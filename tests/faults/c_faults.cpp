// The --wrap side of the C library stream calls: __wrap_X runs in place of X for
// every call in this program, __real_X is the library's own.
#include "c_faults.h"

#include <cerrno>
#include <cstdio>
#include <set>
#include <stdio_ext.h>

extern "C" {
std::FILE* __real_fopen(const char* path, const char* mode);
std::size_t __real_fread(void* buffer, std::size_t size, std::size_t count, std::FILE* file);
std::size_t __real_fwrite(const void* buffer, std::size_t size, std::size_t count, std::FILE* file);
int __real_fclose(std::FILE* file);

std::FILE* __wrap_fopen(const char* path, const char* mode);
std::size_t __wrap_fread(void* buffer, std::size_t size, std::size_t count, std::FILE* file);
std::size_t __wrap_fwrite(const void* buffer, std::size_t size, std::size_t count, std::FILE* file);
int __wrap_fclose(std::FILE* file);
}

namespace cfaults {
namespace {

bool active = false;
Stats stats;
std::set<std::FILE*> openStreams;

struct Armed {
    bool set = false;
    Function function = Fopen;
    int call = 0;
    Mode mode = Mode::Fail;
    std::size_t items = 0;
    bool onward = false;
} armed;

bool Counted(std::FILE* file)
{
    return active && file != stdout && file != stderr && file != stdin;
}

// Counts this call of function; true when it is the armed one.
bool Hit(Function function)
{
    const int call = ++stats.calls[function];
    return armed.set && armed.function == function &&
           (armed.call == call || (armed.onward && call > armed.call));
}

} // namespace

const char* Name(Function function)
{
    switch (function) {
    case Fopen: return "fopen";
    case Fread: return "fread";
    case Fwrite: return "fwrite";
    case Fclose: return "fclose";
    default: return "?";
    }
}

void Begin()
{
    stats = Stats();
    openStreams.clear();
    armed = Armed();
    active = true;
}

void End()
{
    active = false;
    armed = Armed();
}

void Arm(Function function, int call, Mode mode, std::size_t items, bool onward)
{
    armed = {true, function, call, mode, items, onward};
}

Stats Get()
{
    return stats;
}

} // namespace cfaults

using namespace cfaults;

std::FILE* __wrap_fopen(const char* path, const char* mode)
{
    if (!active)
        return __real_fopen(path, mode);
    if (Hit(Fopen)) {
        errno = EACCES;
        return nullptr;
    }
    std::FILE* file = __real_fopen(path, mode);
    if (file != nullptr) {
        ++stats.opened;
        openStreams.insert(file);
    }
    return file;
}

std::size_t __wrap_fread(void* buffer, std::size_t size, std::size_t count, std::FILE* file)
{
    if (!Counted(file))
        return __real_fread(buffer, size, count, file);
    const bool hit = Hit(Fread);
    if (openStreams.count(file) == 0) {
        ++stats.badUses;
        return 0;
    }
    if (hit && count > armed.items)
        count = armed.items;
    return __real_fread(buffer, size, count, file);
}

std::size_t __wrap_fwrite(const void* buffer, std::size_t size, std::size_t count, std::FILE* file)
{
    if (!Counted(file))
        return __real_fwrite(buffer, size, count, file);
    const bool hit = Hit(Fwrite);
    if (openStreams.count(file) == 0) {
        ++stats.badUses;
        return 0;
    }
    if (hit && count > armed.items)
        count = armed.items;
    return __real_fwrite(buffer, size, count, file);
}

// A failing close is taken to be a full disk at the final flush: the bytes still
// buffered are lost, the stream is released all the same (as the C standard
// says of fclose), and EOF comes back.
int __wrap_fclose(std::FILE* file)
{
    if (!Counted(file))
        return __real_fclose(file);
    const bool hit = Hit(Fclose);
    if (openStreams.erase(file) == 0) {
        ++stats.badCloses;
        return EOF; // never hand the library a stream it does not own
    }
    ++stats.closed;
    if (hit) {
        __fpurge(file);
        __real_fclose(file);
        errno = ENOSPC;
        return EOF;
    }
    return __real_fclose(file);
}
