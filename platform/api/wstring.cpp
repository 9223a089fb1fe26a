// The wide string routines for 16-bit strings. WCHAR is char16_t here, so
// these are overloads beside the C library's wchar_t versions, not
// replacements of them.
#include "platform/platform.h"

size_t wcslen(const WCHAR* s)
{
    const WCHAR* p = s;
    while (*p) ++p;
    return static_cast<size_t>(p - s);
}

WCHAR* wcscpy(WCHAR* dst, const WCHAR* src)
{
    WCHAR* d = dst;
    while ((*d++ = *src++) != 0) {
    }
    return dst;
}

// As in C: copies at most n units; pads with zeros when src is shorter and
// leaves dst unterminated when src has n units or more.
WCHAR* wcsncpy(WCHAR* dst, const WCHAR* src, size_t n)
{
    size_t i = 0;
    for (; i < n && src[i] != 0; ++i) dst[i] = src[i];
    for (; i < n; ++i) dst[i] = 0;
    return dst;
}

int wcscmp(const WCHAR* a, const WCHAR* b)
{
    while (*a && *a == *b) {
        ++a;
        ++b;
    }
    // Units compare as unsigned 16-bit values.
    return static_cast<int>(*a) - static_cast<int>(*b);
}

WCHAR* wcscat(WCHAR* dst, const WCHAR* src)
{
    wcscpy(dst + wcslen(dst), src);
    return dst;
}
