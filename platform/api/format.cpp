// wsprintfW and friends over 16-bit strings.
//
// The conversions are those of the Windows user32 formatter: %d %i %u %x %X
// %c %s %S %p %%, the flags '-', '0' and '#', a width (digits or '*'), a
// precision (digits or '*'; for %s the most units taken from the argument,
// for integers the fewest digits), and the size prefixes 'l' and 'h'. On
// Windows LONG and DWORD are 32 bits, so 'l' changes nothing and the integer
// conversions always take an int or unsigned int from the arguments. 'h'
// narrows an integer to 16 bits and makes %hs / %hc narrow; %ls / %lc are
// wide, like %s / %c. %S is a narrow string; its bytes are taken as Latin-1.
// An unknown conversion character is copied to the output, as Windows does.
#include "platform/platform.h"
#include "platform/own_calls.h"

#include <cstdint>

namespace {

// Output that never runs past its capacity; the last unit is kept for the
// terminator.
class Out {
public:
    Out(WCHAR* buf, size_t capacity) : buf_(buf), limit_(capacity - 1) {}
    void Put(WCHAR c)
    {
        if (len_ < limit_) {
            buf_[len_++] = c;
        } else {
            full_ = true;
        }
    }
    void Repeat(WCHAR c, int n)
    {
        for (int i = 0; i < n; ++i) Put(c);
    }
    bool Full() const { return full_; }
    // Terminates the output. When it was cut, a high surrogate left alone at
    // the end (its partner did not fit) is dropped, so the text stays valid
    // UTF-16.
    int Finish()
    {
        if (full_ && len_ > 0 && buf_[len_ - 1] >= 0xD800 && buf_[len_ - 1] <= 0xDBFF) --len_;
        buf_[len_] = 0;
        return static_cast<int>(len_);
    }

private:
    WCHAR* buf_;
    size_t limit_;
    size_t len_ = 0;
    bool full_ = false;
};

struct Directive {
    bool left = false;
    bool zero = false;
    bool alt = false;
    int width = 0;
    int precision = -1;  // -1: none given
};

const char16_t kNull[] = u"(null)";

// Writes `len` units produced by get(i), padded to the field width.
template <typename Get>
void PutField(Out& out, const Directive& directive, int len, Get get)
{
    const int pad = directive.width > len ? directive.width - len : 0;
    if (!directive.left) out.Repeat(directive.zero ? u'0' : u' ', pad);
    for (int i = 0; i < len && !out.Full(); ++i) out.Put(get(i));
    if (directive.left) out.Repeat(u' ', pad);
}

void PutNumber(Out& out, Directive directive, uint64_t magnitude, bool negative, unsigned base, bool upper,
               const char16_t* prefix)
{
    char16_t digits[24];
    int n = 0;
    do {
        const unsigned d = static_cast<unsigned>(magnitude % base);
        digits[n++] = static_cast<char16_t>(d < 10 ? u'0' + d : (upper ? u'A' : u'a') + d - 10);
        magnitude /= base;
    } while (magnitude != 0);
    if (directive.precision == 0 && n == 1 && digits[0] == u'0') n = 0;  // "%.0d" of 0 is empty
    const int zeros = directive.precision > n ? directive.precision - n : 0;
    int prefixLen = 0;
    char16_t head[4];
    if (negative) head[prefixLen++] = u'-';
    for (const char16_t* p = prefix; p && *p; ++p) head[prefixLen++] = *p;

    const int body = prefixLen + zeros + n;
    const int pad = directive.width > body ? directive.width - body : 0;
    // With a precision the '0' flag is ignored, as in C.
    const bool zeroPad = directive.zero && !directive.left && directive.precision < 0;
    if (!directive.left && !zeroPad) out.Repeat(u' ', pad);
    for (int i = 0; i < prefixLen; ++i) out.Put(head[i]);
    if (zeroPad) out.Repeat(u'0', pad);
    out.Repeat(u'0', zeros);
    for (int i = n - 1; i >= 0; --i) out.Put(digits[i]);
    if (directive.left) out.Repeat(u' ', pad);
}

}  // namespace

int PlatformFormatW(LPWSTR lpOut, size_t capacity, LPCWSTR lpFmt, va_list arglist)
{
    if (lpOut == nullptr || capacity == 0) return 0;
    Out out(lpOut, capacity);
    if (lpFmt == nullptr) return out.Finish();

    va_list ap;
    va_copy(ap, arglist);
    const WCHAR* f = lpFmt;
    while (*f && !out.Full()) {
        if (*f != u'%') {
            out.Put(*f++);
            continue;
        }
        ++f;  // past '%'
        if (*f == 0) break;
        Directive directive;
        for (;; ++f) {
            if (*f == u'-') {
                directive.left = true;
            } else if (*f == u'0') {
                directive.zero = true;
            } else if (*f == u'#') {
                directive.alt = true;
            } else {
                break;
            }
        }
        if (*f == u'*') {
            directive.width = va_arg(ap, int);
            if (directive.width < 0) {
                directive.left = true;
                directive.width = -directive.width;
            }
            ++f;
        } else {
            while (*f >= u'0' && *f <= u'9') {
                if (directive.width < 100000) directive.width = directive.width * 10 + (*f - u'0');
                ++f;
            }
        }
        if (*f == u'.') {
            ++f;
            directive.precision = 0;
            if (*f == u'*') {
                directive.precision = va_arg(ap, int);
                if (directive.precision < 0) directive.precision = -1;
                ++f;
            } else {
                while (*f >= u'0' && *f <= u'9') {
                    if (directive.precision < 100000) directive.precision = directive.precision * 10 + (*f - u'0');
                    ++f;
                }
            }
        }
        bool narrowSize = false;  // 'h'
        bool wideSize = false;    // 'l'
        for (;; ++f) {
            if (*f == u'l') {
                wideSize = true;
            } else if (*f == u'h') {
                narrowSize = true;
            } else {
                break;
            }
        }
        const WCHAR conv = *f;
        if (conv == 0) break;
        ++f;

        switch (conv) {
        case u'd':
        case u'i': {
            int v = va_arg(ap, int);
            if (narrowSize) v = static_cast<short>(v);
            const bool neg = v < 0;
            const uint64_t mag = neg ? static_cast<uint64_t>(-static_cast<int64_t>(v))
                                     : static_cast<uint64_t>(v);
            PutNumber(out, directive, mag, neg, 10, false, nullptr);
            break;
        }
        case u'u':
        case u'x':
        case u'X': {
            unsigned v = va_arg(ap, unsigned);
            if (narrowSize) v = static_cast<unsigned short>(v);
            const unsigned base = conv == u'u' ? 10 : 16;
            const char16_t* prefix = nullptr;
            if (directive.alt && base == 16 && v != 0) prefix = conv == u'x' ? u"0x" : u"0X";
            PutNumber(out, directive, v, false, base, conv == u'X', prefix);
            break;
        }
        case u'p': {
            const uintptr_t v = reinterpret_cast<uintptr_t>(va_arg(ap, void*));
            Directive s = directive;
            s.precision = static_cast<int>(sizeof(void*) * 2);
            PutNumber(out, s, v, false, 16, true, nullptr);
            break;
        }
        case u'c':
        case u'C': {
            // A character arrives promoted to int. %c is wide unless 'h'; %C
            // is the opposite, as in Windows.
            const int v = va_arg(ap, int);
            const bool narrow = conv == u'c' ? narrowSize : !wideSize;
            const WCHAR c = narrow ? static_cast<WCHAR>(static_cast<unsigned char>(v))
                                   : static_cast<WCHAR>(v);
            PutField(out, directive, 1, [c](int) { return c; });
            break;
        }
        case u's':
        case u'S': {
            const bool narrow = conv == u's' ? narrowSize : !wideSize;
            if (narrow) {
                const char* s = va_arg(ap, const char*);
                if (s == nullptr) {
                    PutField(out, directive, 6, [](int i) { return kNull[i]; });
                    break;
                }
                int len = 0;
                while (s[len] && (directive.precision < 0 || len < directive.precision)) ++len;
                PutField(out, directive, len, [s](int i) {
                    return static_cast<WCHAR>(static_cast<unsigned char>(s[i]));
                });
            } else {
                const WCHAR* s = va_arg(ap, const WCHAR*);
                if (s == nullptr) {
                    PutField(out, directive, 6, [](int i) { return kNull[i]; });
                    break;
                }
                int len = 0;
                while (s[len] && (directive.precision < 0 || len < directive.precision)) ++len;
                PutField(out, directive, len, [s](int i) { return s[i]; });
            }
            break;
        }
        case u'%':
            out.Put(u'%');
            break;
        default:
            out.Put(conv);
            break;
        }
    }
    va_end(ap);
    return out.Finish();
}

int wvsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, va_list arglist)
{
    // Windows never writes more than 1024 units, terminator included.
    return PlatformFormatW(lpOut, 1024, lpFmt, arglist);
}

int wsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, ...)
{
    va_list ap;
    va_start(ap, lpFmt);
    const int n = PlatformFormatW(lpOut, 1024, lpFmt, ap);
    va_end(ap);
    return n;
}
