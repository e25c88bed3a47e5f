/* Preloaded into Wine's 32-bit processes for the scenario of a drive with
 * 4096-byte sectors. Wine reads and writes a block device with plain read and
 * write calls on its descriptor, so a loop device made with "losetup -b 4096"
 * still takes a 512-byte transfer, which a real volume of such sectors refuses.
 * These wrappers give the device the kernel's rule for unbuffered access: on a
 * block device whose logical sector size (BLKSSZGET) is above 512, a transfer
 * whose offset or length is not a multiple of it fails with EINVAL, which the
 * program sees as error 87. Other descriptors pass straight through.
 *
 * Built freestanding like mmapfix.c, so that no 32-bit C library development
 * files are needed. */

typedef unsigned int size_type;
typedef int ssize_type;
typedef long long offset_type;
typedef ssize_type (*read_function)(int, void *, size_type);
typedef ssize_type (*write_function)(int, const void *, size_type);
typedef ssize_type (*pread_function)(int, void *, size_type, offset_type);
typedef ssize_type (*pwrite_function)(int, const void *, size_type, offset_type);

#define RTLD_NEXT ((void *)-1)
#define EINVAL 22
#define BLKSSZGET 0x1268 /* _IO(0x12, 104) */
#define SEEK_CUR 1
#define PLAIN_SECTOR 512

extern int *__errno_location(void);
extern void *dlsym(void *, const char *);
extern int ioctl(int, unsigned long, ...);
extern offset_type lseek64(int, offset_type, int);

/* True when the transfer breaks the device's sector rule; errno is then EINVAL
 * and errno is otherwise left as it was. */
static int misaligned(int fd, offset_type offset, size_type length)
{
    int saved = *__errno_location();
    int sector = 0;
    if (ioctl(fd, BLKSSZGET, &sector) != 0 || sector <= PLAIN_SECTOR) {
        *__errno_location() = saved;
        return 0;
    }
    if (offset < 0)
        offset = lseek64(fd, 0, SEEK_CUR);
    /* Sector sizes are powers of two: a mask stands for the 64-bit remainder,
     * which would need a helper routine this library does not link. */
    if ((offset & (sector - 1)) == 0 && (length & (size_type)(sector - 1)) == 0) {
        *__errno_location() = saved;
        return 0;
    }
    *__errno_location() = EINVAL;
    return 1;
}

ssize_type read(int fd, void *buffer, size_type length)
{
    static read_function next;
    if (!next)
        next = (read_function)dlsym(RTLD_NEXT, "read");
    return misaligned(fd, -1, length) ? -1 : next(fd, buffer, length);
}

ssize_type write(int fd, const void *buffer, size_type length)
{
    static write_function next;
    if (!next)
        next = (write_function)dlsym(RTLD_NEXT, "write");
    return misaligned(fd, -1, length) ? -1 : next(fd, buffer, length);
}

ssize_type pread64(int fd, void *buffer, size_type length, offset_type offset)
{
    static pread_function next;
    if (!next)
        next = (pread_function)dlsym(RTLD_NEXT, "pread64");
    return misaligned(fd, offset, length) ? -1 : next(fd, buffer, length, offset);
}

ssize_type pwrite64(int fd, const void *buffer, size_type length, offset_type offset)
{
    static pwrite_function next;
    if (!next)
        next = (pwrite_function)dlsym(RTLD_NEXT, "pwrite64");
    return misaligned(fd, offset, length) ? -1 : next(fd, buffer, length, offset);
}
