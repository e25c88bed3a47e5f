// The C library stream calls of the image file commands, reached through the
// linker's --wrap for the fault test program only. Between Begin and End each
// call is counted and can be made to fail or to move fewer items; every FILE*
// opened and closed in that span is tracked. Outside that span (and for the
// standard streams) the calls pass straight through.
#pragma once

#include <cstddef>

namespace cfaults {

enum Function { Fopen, Fread, Fwrite, Fclose, FunctionCount };
const char* Name(Function function);

enum class Mode {
    Fail,  // fopen gives null, fclose gives EOF after losing the buffered bytes
    Short, // fread or fwrite moves at most the given number of items
};

// Starts a counted span: counters at zero, nothing armed.
void Begin();
void End();
// The call-th call (1-based) of function in this span fails or falls short;
// with onward, every later call of it too.
void Arm(Function function, int call, Mode mode, std::size_t items = 0, bool onward = false);

struct Stats {
    int calls[FunctionCount] = {};
    int opened = 0;    // streams fopen gave out
    int closed = 0;    // of these, passed to fclose once
    int badCloses = 0; // fclose of a stream not open (twice, or never opened)
    int badUses = 0;   // fread or fwrite on a stream not open
    int open() const { return opened - closed; }
};
Stats Get();

} // namespace cfaults
