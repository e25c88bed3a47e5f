// The files, volumes and VWIN32 half of the stand-in. Each call follows what the
// Win32 reference documents for it, as far as the program relies on it:
//  - CreateFileA gives INVALID_HANDLE_VALUE and an error on failure, and clears the
//    last error on success;
//  - SetFilePointer takes a 64-bit distance split over a LONG and a PLONG, writes
//    the new high half back and gives the low half, INVALID_SET_FILE_POINTER on
//    failure (ERROR_NEGATIVE_SEEK before the start);
//  - ReadFile and WriteFile set the count to 0 before anything else, need the
//    matching access right, and on a handle opened with FILE_FLAG_NO_BUFFERING
//    accept only whole sectors at sector positions (ERROR_INVALID_PARAMETER);
//    reading at the end gives TRUE with 0 bytes;
//  - CloseHandle on a handle not open gives FALSE and ERROR_INVALID_HANDLE;
//  - DeviceIoControl on the VWIN32 device takes the 28-byte register block in and
//    out; carry (bit 0 of the flags) tells whether the service worked.
// Apart from CreateFileA, a successful call leaves the last error alone.
#include "standin_disk.h"

#include "winioctl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>

namespace standin {

std::vector<Exchange> Exchanges;
DWORD dialogError = 0; // what CommDlgExtendedError gives after the last file dialog

namespace {

constexpr DWORD SectorSize = 512;
constexpr DWORD CarryFlag = 1;
constexpr std::size_t RegisterBlockSize = 28;
constexpr std::size_t PacketSize = 10;

// DOS error codes the services put into AX when they set carry.
constexpr WORD DosInvalidFunction = 0x0001;
constexpr WORD DosInvalidDrive = 0x000F;
constexpr WORD DosNotReady = 0x0015;
constexpr WORD DosSectorNotFound = 0x001B;
constexpr WORD DosBadAddress = 0x0009;        // an address outside every mapped region
constexpr WORD AbsoluteWriteProtect = 0x0300; // Int 25h/26h: AH = 03h
constexpr WORD AbsoluteNotReady = 0x0202;     // AH = 02h, AL = 02h
constexpr WORD AbsoluteBadDrive = 0x0201;     // AH = 02h, AL = 01h

enum class Kind { Pass, Fail, Short, Carry };
struct Step {
    Kind kind;
    DWORD value;
};

struct OpenFile {
    std::string name; // upper-cased volume name, or "VWIN32"
    DWORD access = 0;
    DWORD share = 0;
    DWORD flags = 0;
    bool extended = false; // FSCTL_ALLOW_EXTENDED_DASD_IO was granted
    std::uint64_t position = 0;
    bool open = true;
    bool device = false; // the VWIN32 device
    long long hostSize = -1; // a host file opened only to ask its size
};

struct Region {
    std::string name;
    const std::uint8_t* base;
    std::size_t size;
};

std::map<std::string, Volume> volumes;
std::map<std::string, std::deque<Step>> script;
std::map<std::uintptr_t, OpenFile> files; // by handle value
std::vector<Region> regions;
std::map<int, int> locks; // drive -> lock level
HandleStats stats;
bool vwin32Present = true;
std::uintptr_t nextHandle = 0;

// The volume's size in bytes, wherever its bytes live.
std::uint64_t SizeOf(const Volume& volume)
{
    struct stat info {};
    if (volume.hostFile.empty())
        return volume.bytes.size();
    return stat(volume.hostFile.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

// Moves n bytes at position between the volume and memory.
void MoveBytes(Volume& volume, std::uint64_t position, void* memory, std::size_t n, bool write)
{
    if (volume.hostFile.empty()) {
        if (write)
            std::memcpy(volume.bytes.data() + position, memory, n);
        else
            std::memcpy(memory, volume.bytes.data() + position, n);
        return;
    }
    const int fd = open(volume.hostFile.c_str(), write ? O_RDWR : O_RDONLY);
    const ssize_t moved = fd < 0  ? -1
                          : write ? pwrite(fd, memory, n, static_cast<off_t>(position))
                                  : pread(fd, memory, n, static_cast<off_t>(position));
    if (fd >= 0)
        close(fd);
    if (moved != static_cast<ssize_t>(n))
        std::fprintf(stderr, "stand-in: host file %s moved %zd of %zu bytes\n",
                     volume.hostFile.c_str(), moved, n);
}

std::string Upper(std::string s)
{
    for (auto& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string Hex(DWORD value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
    return text;
}

// The scripted outcome of this call of function, Pass when none is left.
Step NextStep(const std::string& function)
{
    auto& steps = script[function];
    if (steps.empty())
        return {Kind::Pass, 0};
    Step step = steps.front();
    steps.pop_front();
    return step;
}

std::uintptr_t Key(HANDLE handle)
{
    return reinterpret_cast<std::uintptr_t>(handle);
}

// The open file behind handle, or null.
OpenFile* Lookup(HANDLE handle)
{
    auto found = files.find(Key(handle));
    if (found == files.end() || !found->second.open)
        return nullptr;
    return &found->second;
}

// The same for a call that uses the handle: null counts as a bad use.
OpenFile* UseHandle(HANDLE handle)
{
    OpenFile* file = Lookup(handle);
    if (file == nullptr) {
        ++stats.badUses;
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return file;
}

// Real memory behind a 32-bit address, when [address, address + size) lies in
// one mapped region.
std::uint8_t* MapAddress(DWORD address, std::size_t size)
{
    for (const auto& r : regions) {
        const DWORD low = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(r.base));
        if (address >= low && std::uint64_t(address - low) + size <= r.size)
            return const_cast<std::uint8_t*>(r.base) + (address - low);
    }
    return nullptr;
}

std::string AddressText(DWORD value)
{
    for (const auto& r : regions)
        if (static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(r.base)) == value)
            return r.name;
    return Hex(value);
}

// --- The services behind the VWIN32 device ---

struct Registers {
    DWORD ebx, edx, ecx, eax, edi, esi, flags;
};
static_assert(sizeof(Registers) == RegisterBlockSize, "the block is seven DWORDs");

void SetCarry(Registers& r, WORD ax)
{
    r.eax = (r.eax & 0xFFFF0000u) | ax;
    r.flags |= CarryFlag;
}

// Moves count sectors from first between the drive and memory at address.
// Gives 0 when done, else the error for AX: in the form of Int 25h/26h when
// absolute, else in that of Int 21h.
WORD Transfer(int drive, bool write, DWORD first, DWORD count, DWORD address, bool absolute)
{
    Volume* volume = drive >= 1 && drive <= 26 ? FindVolume(VolumeName(drive)) : nullptr;
    if (volume == nullptr)
        return absolute ? AbsoluteBadDrive : DosInvalidDrive;
    if (volume->noMedium)
        return absolute ? AbsoluteNotReady : DosNotReady;
    if (write && volume->writeProtected)
        return absolute ? AbsoluteWriteProtect : ERROR_WRITE_PROTECT;
    const std::uint64_t offset = std::uint64_t(first) * SectorSize;
    const std::uint64_t bytes = std::uint64_t(count) * SectorSize;
    if (offset + bytes > volume->bytes.size())
        return DosSectorNotFound;
    std::uint8_t* memory = MapAddress(address, static_cast<std::size_t>(bytes));
    if (memory == nullptr)
        return DosBadAddress;
    if (write)
        std::memcpy(volume->bytes.data() + offset, memory, bytes);
    else
        std::memcpy(memory, volume->bytes.data() + offset, bytes);
    return 0;
}

// Keeps the packet that ebx points to in the exchange record, when the service
// takes one (CX all ones) and the address is mapped.
void ReadPacket(Exchange& e)
{
    const bool packetService = e.code == 2 || e.code == 3 || e.code == 6;
    const std::uint8_t* p = MapAddress(e.ebx, PacketSize);
    if (!packetService || static_cast<WORD>(e.ecx) != 0xFFFF || p == nullptr)
        return;
    e.packetForm = true;
    std::memcpy(&e.start, p, 4);
    std::memcpy(&e.sectors, p + 4, 2);
    std::memcpy(&e.buffer, p + 6, 4);
}

// Carries out one service on r; e is the record of the block as it was sent.
void RunService(Exchange& e, Registers& r)
{
    const WORD ax = static_cast<WORD>(r.eax);
    const WORD cx = static_cast<WORD>(r.ecx);
    WORD error = 0;
    switch (e.code) {
    case 2: // Int 25h, absolute read
    case 3: // Int 26h, absolute write
    {
        const bool write = e.code == 3;
        const int drive = (ax & 0xFF) + 1;
        if (cx == 0xFFFF) {
            if (!e.packetForm)
                error = DosBadAddress;
            else
                error = Transfer(drive, write, e.start, e.sectors, e.buffer, true);
        } else {
            error = Transfer(drive, write, r.edx & 0xFFFF, cx, r.ebx, true);
        }
        break;
    }
    case 6: // Int 21h 7305h, extended absolute read or write
        if (ax != 0x7305 || cx != 0xFFFF)
            error = DosInvalidFunction;
        else if (!e.packetForm)
            error = DosBadAddress;
        else
            error = Transfer(r.edx & 0xFF, (r.esi & 1) != 0, e.start, e.sectors, e.buffer, false);
        break;
    case 1: // Int 21h 440Dh, lock or unlock of a logical volume
    {
        const int drive = r.ebx & 0xFF;
        const WORD minor = cx & 0xFF;
        const WORD category = cx >> 8;
        if (ax != 0x440D || (category != 0x08 && category != 0x48))
            error = DosInvalidFunction;
        else if (FindVolume(VolumeName(drive)) == nullptr)
            error = DosInvalidDrive;
        else if (minor == 0x4A)
            locks[drive] = (r.ebx >> 8) & 0xFF;
        else if (minor == 0x6A && locks[drive] > 0)
            locks[drive] = 0;
        else
            error = DosInvalidFunction; // unlock of a volume not locked, or another minor code
        break;
    }
    default: error = DosInvalidFunction; break;
    }
    if (error != 0)
        SetCarry(r, error);
    else
        r.flags &= ~CarryFlag;
}

} // namespace

void ResetDisk()
{
    volumes.clear();
    script.clear();
    files.clear();
    regions.clear();
    locks.clear();
    Exchanges.clear();
    stats = HandleStats();
    vwin32Present = true;
    nextHandle = 0;
}

Volume& AddVolume(const std::string& name, std::size_t size, std::uint8_t fill)
{
    Volume& volume = volumes[Upper(name)];
    volume = Volume();
    volume.bytes.assign(size, fill);
    return volume;
}

Volume& AddHostFile(const std::string& name, const std::string& path)
{
    Volume& volume = AddVolume(name, 0);
    volume.hostFile = path;
    return volume;
}

Volume* FindVolume(const std::string& name)
{
    auto found = volumes.find(Upper(name));
    return found == volumes.end() ? nullptr : &found->second;
}

std::string VolumeName(int drive)
{
    return std::string("\\\\.\\") + char('@' + drive) + ":";
}

void SetVwin32Present(bool present)
{
    vwin32Present = present;
}

bool ScriptedFailure(const std::string& function)
{
    const Step step = NextStep(function);
    if (step.kind != Kind::Fail)
        return false;
    SetLastError(step.value);
    return true;
}

void PassNext(const std::string& function)
{
    script[function].push_back({Kind::Pass, 0});
}
void FailNext(const std::string& function, DWORD error)
{
    script[function].push_back({Kind::Fail, error});
}
void ShortNext(const std::string& function, DWORD bytes)
{
    script[function].push_back({Kind::Short, bytes});
}
void CarryNext(WORD ax)
{
    script["DeviceIoControl"].push_back({Kind::Carry, ax});
}

HandleStats Handles()
{
    return stats;
}

std::string HandleName(HANDLE handle)
{
    const std::uintptr_t key = Key(handle);
    if (files.count(key) == 0)
        return handle == INVALID_HANDLE_VALUE ? "INVALID" : Hex(static_cast<DWORD>(key));
    return "h" + std::to_string((key - 0x100) / 4 + 1);
}

void MapMemory(const std::string& name, const void* base, std::size_t size)
{
    regions.push_back({name, static_cast<const std::uint8_t*>(base), size});
}

int LockLevel(int drive)
{
    return locks.count(drive) ? locks[drive] : 0;
}

BOOL ChooseFile(OPENFILENAMEA* dialog, const std::string& path)
{
    const std::size_t needed = path.size() + 1;
    if (dialog->lpstrFile == nullptr || dialog->nMaxFile < needed) {
        dialogError = FNERR_BUFFERTOOSMALL;
        if (dialog->lpstrFile != nullptr && dialog->nMaxFile >= 2) {
            dialog->lpstrFile[0] = static_cast<char>(needed & 0xFF);
            dialog->lpstrFile[1] = static_cast<char>(needed >> 8);
        }
        return FALSE;
    }
    std::memcpy(dialog->lpstrFile, path.c_str(), needed);
    const std::size_t slash = path.find_last_of("\\/");
    const std::size_t name = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = path.find('.', name);
    dialog->nFileOffset = static_cast<WORD>(name);
    dialog->nFileExtension = static_cast<WORD>(dot == std::string::npos ? path.size() : dot + 1);
    return TRUE;
}

} // namespace standin

using namespace standin;

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE templateFile)
{
    std::string line = std::string("CreateFileA(") + name + ", " + Hex(access) + ", " + Hex(share) +
                       ", " + (security ? "sa" : "null") + ", " + std::to_string(disposition) +
                       ", " + Hex(flags) + ", " + (templateFile ? "template" : "null") + ") -> ";
    const Step step = NextStep("CreateFileA");
    OpenFile file;
    file.name = Upper(name);
    file.access = access;
    file.share = share;
    file.flags = flags;
    DWORD error = 0;
    if (step.kind == Kind::Fail) {
        error = step.value;
    } else if (file.name == "\\\\.\\VWIN32") {
        // A VxD opens on the 9x family whatever the disposition; NT has no such device.
        file.device = true;
        if (!vwin32Present)
            error = ERROR_FILE_NOT_FOUND;
    } else if (disposition < 1 || disposition > 5) {
        error = ERROR_INVALID_PARAMETER;
    } else if (FindVolume(file.name) != nullptr && FindVolume(file.name)->readOnly &&
               (access & GENERIC_WRITE) != 0) {
        error = ERROR_ACCESS_DENIED;
    } else if (FindVolume(file.name) == nullptr) {
        // Any other existing file on the host opens for its size alone.
        struct stat host {};
        if (disposition == OPEN_EXISTING && stat(name, &host) == 0 && S_ISREG(host.st_mode))
            file.hostSize = host.st_size;
        else
            error = ERROR_FILE_NOT_FOUND;
    }
    if (error != 0) {
        Log(line + "INVALID");
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = reinterpret_cast<HANDLE>(0x100 + 4 * nextHandle++);
    files[Key(handle)] = file;
    ++stats.opened;
    SetLastError(ERROR_SUCCESS);
    Log(line + HandleName(handle));
    return handle;
}

DWORD WINAPI SetFilePointer(HANDLE handle, LONG distanceLow, PLONG distanceHigh, DWORD method)
{
    Log("SetFilePointer(" + HandleName(handle) + ", " + Hex(static_cast<DWORD>(distanceLow)) +
        ", " + (distanceHigh ? "&" + Hex(static_cast<DWORD>(*distanceHigh)) : "null") + ", " +
        std::to_string(method) + ")");
    const Step step = NextStep("SetFilePointer");
    OpenFile* file = UseHandle(handle);
    if (file == nullptr)
        return INVALID_SET_FILE_POINTER;
    if (step.kind == Kind::Fail) {
        SetLastError(step.value);
        return INVALID_SET_FILE_POINTER;
    }
    // With a high half the distance is one signed 64-bit value, else a signed LONG.
    const std::int64_t distance =
        distanceHigh
            ? static_cast<std::int64_t>((std::uint64_t(static_cast<DWORD>(*distanceHigh)) << 32) |
                                        static_cast<DWORD>(distanceLow))
            : distanceLow;
    if (method > 2) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    const Volume* volume = file->device ? nullptr : FindVolume(file->name);
    const std::int64_t size = volume ? static_cast<std::int64_t>(SizeOf(*volume)) : 0;
    const std::int64_t origin = method == FILE_BEGIN ? 0
                                : method == 1        ? static_cast<std::int64_t>(file->position)
                                                     : size;
    const std::int64_t target = origin + distance;
    if (target < 0) {
        SetLastError(ERROR_NEGATIVE_SEEK);
        return INVALID_SET_FILE_POINTER;
    }
    if (distanceHigh == nullptr && target > 0xFFFFFFFFll) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    // Positions past the end are allowed; a read there gives 0 bytes.
    file->position = static_cast<std::uint64_t>(target);
    if (distanceHigh)
        *distanceHigh = static_cast<LONG>(static_cast<DWORD>(file->position >> 32));
    return static_cast<DWORD>(file->position);
}

namespace {

// The common part of ReadFile and WriteFile: the number of bytes that may move
// now, or -1 after setting the error.
long long Admit(const char* function, HANDLE handle, const void* buffer, DWORD bytes, LPDWORD moved,
                bool write, OpenFile*& file, Volume*& volume)
{
    if (moved)
        *moved = 0;
    const Step step = NextStep(function);
    file = UseHandle(handle);
    if (file == nullptr)
        return -1;
    volume = file->device ? nullptr : FindVolume(file->name);
    DWORD error = 0;
    if (step.kind == Kind::Fail)
        error = step.value;
    else if (volume == nullptr)
        error = ERROR_INVALID_FUNCTION;
    else if ((file->access & (write ? GENERIC_WRITE : GENERIC_READ)) == 0)
        error = ERROR_ACCESS_DENIED;
    else if (((file->flags & FILE_FLAG_NO_BUFFERING) || volume->sectorSize > SectorSize) &&
             (file->position % volume->sectorSize != 0 || bytes % volume->sectorSize != 0))
        error = ERROR_INVALID_PARAMETER;
    else if ((file->flags & FILE_FLAG_NO_BUFFERING) &&
             reinterpret_cast<std::uintptr_t>(buffer) % volume->sectorSize != 0)
        error = ERROR_INVALID_PARAMETER;
    else if (volume->noMedium)
        error = ERROR_NOT_READY;
    else if (volume->lockedBy != 0 && volume->lockedBy != Key(handle))
        error = ERROR_ACCESS_DENIED;
    else if (volume->lastSectorGuarded && !file->extended &&
             file->position + bytes > SizeOf(*volume) - volume->sectorSize)
        error = ERROR_SECTOR_NOT_FOUND;
    else if (write && volume->writeProtected)
        error = ERROR_WRITE_PROTECT;
    if (error != 0) {
        SetLastError(error);
        return -1;
    }
    const std::uint64_t size = SizeOf(*volume);
    std::uint64_t room = file->position < size ? size - file->position : 0;
    if (room > bytes)
        room = bytes;
    if (step.kind == Kind::Short && room > step.value)
        room = step.value;
    return static_cast<long long>(room);
}

} // namespace

BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED)
{
    Log("ReadFile(" + HandleName(handle) + ", " + std::to_string(toRead) + ")");
    OpenFile* file = nullptr;
    Volume* volume = nullptr;
    const long long n = Admit("ReadFile", handle, buffer, toRead, read, false, file, volume);
    if (n < 0)
        return FALSE;
    if (n > 0)
        MoveBytes(*volume, file->position, buffer, static_cast<std::size_t>(n), false);
    file->position += static_cast<std::uint64_t>(n);
    if (read)
        *read = static_cast<DWORD>(n);
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE handle, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED)
{
    Log("WriteFile(" + HandleName(handle) + ", " + std::to_string(toWrite) + ")");
    OpenFile* file = nullptr;
    Volume* volume = nullptr;
    const long long n = Admit("WriteFile", handle, buffer, toWrite, written, true, file, volume);
    if (n < 0)
        return FALSE;
    if (n > 0)
        MoveBytes(*volume, file->position, const_cast<void*>(buffer), static_cast<std::size_t>(n),
                  true);
    file->position += static_cast<std::uint64_t>(n);
    if (written)
        *written = static_cast<DWORD>(n);
    return TRUE;
}

DWORD WINAPI GetFileSize(HANDLE handle, LPDWORD sizeHigh)
{
    Log("GetFileSize(" + HandleName(handle) + ", " + (sizeHigh ? "&" : "null") + ")");
    const Step step = NextStep("GetFileSize");
    OpenFile* file = UseHandle(handle);
    const Volume* volume = file && !file->device ? FindVolume(file->name) : nullptr;
    if (file != nullptr && file->hostSize >= 0 && step.kind != Kind::Fail) {
        if (sizeHigh)
            *sizeHigh = 0;
        return static_cast<DWORD>(file->hostSize);
    }
    if (file == nullptr || step.kind == Kind::Fail || volume == nullptr) {
        if (file != nullptr)
            SetLastError(step.kind == Kind::Fail ? step.value : ERROR_INVALID_FUNCTION);
        return INVALID_FILE_SIZE;
    }
    const std::uint64_t size = SizeOf(*volume);
    if (sizeHigh)
        *sizeHigh = static_cast<DWORD>(size >> 32);
    else if (size > 0xFFFFFFFFu)
        return INVALID_FILE_SIZE; // the high half has nowhere to go
    return static_cast<DWORD>(size);
}

BOOL WINAPI CloseHandle(HANDLE handle)
{
    Log("CloseHandle(" + HandleName(handle) + ")");
    const Step step = NextStep("CloseHandle");
    auto found = files.find(Key(handle));
    if (found == files.end() || !found->second.open) {
        if (found == files.end())
            ++stats.invalidCloses;
        else
            ++stats.doubleCloses;
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (step.kind == Kind::Fail) {
        SetLastError(step.value);
        return FALSE;
    }
    found->second.open = false;
    ++stats.closed;
    if (Volume* volume = FindVolume(found->second.name); volume && volume->lockedBy == Key(handle))
        volume->lockedBy = 0; // closing the handle releases its lock
    return TRUE;
}

namespace {

BOOL Answer(const void* data, std::size_t size, LPVOID out, DWORD outSize, LPDWORD returned)
{
    if (out == nullptr || outSize < size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(out, data, size);
    if (returned)
        *returned = static_cast<DWORD>(size);
    return TRUE;
}

// The partition requests, each answered as the volume was set up.
BOOL PartitionControl(const Volume& volume, DWORD code, LPVOID out, DWORD outSize, LPDWORD returned)
{
    const bool newer = code == IOCTL_DISK_GET_PARTITION_INFO_EX;
    if (volume.partition == Volume::NoRequests ||
        (newer ? volume.partition == Volume::OlderOnly : volume.partition == Volume::NewerOnly)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    const auto start = static_cast<std::int64_t>(volume.partitionStart);
    const auto length = static_cast<std::int64_t>(volume.bytes.size());
    if (newer) {
        PARTITION_INFORMATION_EX info = {};
        info.StartingOffset.QuadPart = start;
        info.PartitionLength.QuadPart = length;
        return Answer(&info, sizeof info, out, outSize, returned);
    }
    PARTITION_INFORMATION info = {};
    info.StartingOffset.QuadPart = start;
    info.PartitionLength.QuadPart = length;
    return Answer(&info, sizeof info, out, outSize, returned);
}

// Lock, unlock and dismount: a lock is refused while the volume is in use or
// locked by another handle; unlocking and dismounting need the handle's lock.
BOOL LockControl(Volume* volume, HANDLE handle, DWORD code)
{
    DWORD error = 0;
    if (volume == nullptr)
        error = ERROR_INVALID_FUNCTION;
    else if (code == FSCTL_LOCK_VOLUME && (volume->inUse || volume->lockedBy != 0))
        error = ERROR_ACCESS_DENIED;
    else if (code != FSCTL_LOCK_VOLUME && volume->lockedBy != Key(handle))
        error = code == FSCTL_UNLOCK_VOLUME ? ERROR_NOT_LOCKED : ERROR_ACCESS_DENIED;
    if (error != 0) {
        SetLastError(error);
        return FALSE;
    }
    if (code == FSCTL_LOCK_VOLUME)
        volume->lockedBy = Key(handle);
    else if (code == FSCTL_UNLOCK_VOLUME)
        volume->lockedBy = 0;
    else
        ++volume->dismounts;
    return TRUE;
}

// A control request on a volume: the drive geometry, the partition requests,
// extended access, and locking.
BOOL VolumeControl(HANDLE handle, OpenFile& file, DWORD code, LPVOID out, DWORD outSize,
                   LPDWORD returned)
{
    Volume* volume = FindVolume(file.name);
    if (code == FSCTL_LOCK_VOLUME || code == FSCTL_UNLOCK_VOLUME || code == FSCTL_DISMOUNT_VOLUME)
        return LockControl(volume, handle, code);
    if (volume != nullptr &&
        (code == IOCTL_DISK_GET_PARTITION_INFO || code == IOCTL_DISK_GET_PARTITION_INFO_EX))
        return PartitionControl(*volume, code, out, outSize, returned);
    if (code == FSCTL_ALLOW_EXTENDED_DASD_IO) {
        if (file.share != (FILE_SHARE_READ | FILE_SHARE_WRITE)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        file.extended = true;
        return TRUE;
    }
    DWORD error = 0;
    if (code != IOCTL_DISK_GET_DRIVE_GEOMETRY || volume == nullptr || !volume->answersGeometry)
        error = ERROR_NOT_SUPPORTED;
    else if (out == nullptr || outSize < sizeof(DISK_GEOMETRY))
        error = ERROR_INSUFFICIENT_BUFFER;
    else if (volume->noMedium)
        error = ERROR_NOT_READY;
    if (error != 0) {
        SetLastError(error);
        return FALSE;
    }
    DISK_GEOMETRY geometry = {};
    geometry.BytesPerSector = volume->sectorSize;
    geometry.SectorsPerTrack = 63;
    geometry.TracksPerCylinder = 255;
    geometry.Cylinders =
        static_cast<std::int64_t>(volume->bytes.size() / volume->sectorSize / 63 / 255);
    std::memcpy(out, &geometry, sizeof geometry);
    if (returned)
        *returned = sizeof geometry;
    return TRUE;
}

} // namespace

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                            DWORD outSize, LPDWORD returned, LPOVERLAPPED)
{
    Exchange e = {};
    e.code = code;
    Registers r = {};
    if (in != nullptr && inSize >= RegisterBlockSize)
        std::memcpy(&r, in, RegisterBlockSize);
    e.ebx = r.ebx, e.edx = r.edx, e.ecx = r.ecx, e.eax = r.eax;
    e.edi = r.edi, e.esi = r.esi, e.flags = r.flags;
    ReadPacket(e);
    char registers[160];
    std::snprintf(registers, sizeof registers, "EAX=%X EBX=%s ECX=%X EDX=%X EDI=%X ESI=%X Flags=%X",
                  e.eax, AddressText(e.ebx).c_str(), e.ecx, e.edx, e.edi, e.esi, e.flags);
    Log("DeviceIoControl(" + HandleName(device) + ", " + std::to_string(code) + ", " + registers +
        ")");
    const Step step = NextStep("DeviceIoControl");
    OpenFile* file = UseHandle(device);
    e.eaxBack = e.eax;
    e.flagsBack = e.flags;
    if (file == nullptr) {
        Exchanges.push_back(e);
        return FALSE;
    }
    DWORD error = 0;
    if (step.kind == Kind::Fail)
        error = step.value;
    else if (!file->device) {
        Exchanges.push_back(e);
        return VolumeControl(device, *file, code, out, outSize, returned);
    } else if (in == nullptr || out == nullptr || inSize < RegisterBlockSize ||
               outSize < RegisterBlockSize)
        error = ERROR_INVALID_PARAMETER;
    if (error != 0) {
        Exchanges.push_back(e);
        SetLastError(error);
        return FALSE;
    }
    if (step.kind == Kind::Carry)
        SetCarry(r, static_cast<WORD>(step.value));
    else
        RunService(e, r);
    e.eaxBack = r.eax;
    e.flagsBack = r.flags;
    Exchanges.push_back(e);
    std::memcpy(out, &r, RegisterBlockSize);
    if (returned)
        *returned = RegisterBlockSize;
    return TRUE;
}

BOOL WINAPI GetOpenFileNameA(LPOPENFILENAMEA dialog)
{
    Log(std::string("GetOpenFileNameA(") + std::to_string(dialog->lStructSize) + ", " +
        (dialog->hwndOwner ? "owner" : "null") + ", filter " +
        (dialog->lpstrFilter ? dialog->lpstrFilter : "null") + ", index " +
        std::to_string(dialog->nFilterIndex) + ", file \"" +
        (dialog->lpstrFile ? dialog->lpstrFile : "") + "\", max " +
        std::to_string(dialog->nMaxFile) + ", title " +
        (dialog->lpstrTitle ? dialog->lpstrTitle : "null") + ", flags " + Hex(dialog->Flags) +
        ", ext " + (dialog->lpstrDefExt ? dialog->lpstrDefExt : "null") + ")");
    dialogError = 0;
    // The sizes Windows accepts: the 4.0 record and the full one of a 32-bit program.
    if (dialog->lStructSize != OPENFILENAME_SIZE_VERSION_400A && dialog->lStructSize != 88) {
        dialogError = CDERR_STRUCTSIZE;
        return FALSE;
    }
    if (!OnOpenFileName)
        return FALSE; // nobody to choose a file: the user cancelled
    return OnOpenFileName(dialog);
}

DWORD WINAPI CommDlgExtendedError()
{
    Log("CommDlgExtendedError() -> " + Hex(dialogError));
    return dialogError;
}
