/* Preloaded into Wine's 32-bit processes where they run under qemu-i386 user
 * emulation (a kernel without its 32-bit personality, see tools/enable-i386.sh).
 *
 * Wine reserves its address space with mmap(MAP_FIXED_NOREPLACE): the kernel
 * either maps exactly the address asked for or fails with EEXIST. The
 * emulator of Debian 12 (qemu 7.2) takes the flag as a mere hint and maps the
 * range somewhere else. Wine then keeps such misplaced ranges above 2 GB
 * reserved, and its reservation of the upper half of the address space has
 * to halve its way down to single 64 KB steps: some 65,000 mmap calls, about
 * 50 s of emulated work at every program start. This mmap64 gives the flag
 * the kernel's meaning again: a range placed elsewhere is unmapped and the
 * call fails with EEXIST. Every other call goes to the C library unchanged.
 *
 * Built freestanding (no headers, no start files), so that no 32-bit C
 * library development files are needed. */

typedef unsigned int size_type;
typedef long long offset_type;
typedef void *(*mmap64_function)(void *, size_type, int, int, int, offset_type);

#define MAP_FIXED_NOREPLACE 0x100000
#define MAP_FAILED ((void *)-1)
#define RTLD_NEXT ((void *)-1)
#define EEXIST 17

extern int *__errno_location(void);
extern void *dlsym(void *, const char *);
extern int munmap(void *, size_type);

void *mmap64(void *address, size_type length, int protection, int flags, int fd,
             offset_type offset)
{
    static mmap64_function next;
    void *mapped;

    if (!next)
        next = (mmap64_function)dlsym(RTLD_NEXT, "mmap64");
    mapped = next(address, length, protection, flags, fd, offset);
    if ((flags & MAP_FIXED_NOREPLACE) && mapped != MAP_FAILED && mapped != address) {
        munmap(mapped, length);
        *__errno_location() = EEXIST;
        return MAP_FAILED;
    }
    return mapped;
}
