/*
 * memcpy, memmove and memset for the target build, which links no C runtime:
 * the compiler may emit calls to them for structure copies and clears. The
 * object is linked in only when some code calls one of them.
 */
#include <stddef.h>

extern "C" void *memcpy(void *dst, const void *src, size_t n)
{
    unsigned char *d = static_cast<unsigned char *>(dst);
    const unsigned char *s = static_cast<const unsigned char *>(src);
    while (n--)
        *d++ = *s++;
    return dst;
}

extern "C" void *memmove(void *dst, const void *src, size_t n)
{
    unsigned char *d = static_cast<unsigned char *>(dst);
    const unsigned char *s = static_cast<const unsigned char *>(src);
    if (d < s) {
        while (n--)
            *d++ = *s++;
    } else {
        while (n--)
            d[n] = s[n];
    }
    return dst;
}

extern "C" void *memset(void *dst, int c, size_t n)
{
    unsigned char *d = static_cast<unsigned char *>(dst);
    while (n--)
        *d++ = static_cast<unsigned char>(c);
    return dst;
}
