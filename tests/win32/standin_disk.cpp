// The files, volumes and VWIN32 half of the stand-in.
#include "standin.h"

namespace standin {
void ResetDisk() {}
} // namespace standin
