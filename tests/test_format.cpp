// wsprintfW, PlatformFormatW and the 16-bit string routines.
#include "platform/platform.h"
#include "platform/own_calls.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::u16string Fmt(const WCHAR* fmt, ...)
{
    WCHAR buf[1100];
    for (WCHAR& c : buf) c = u'#';
    va_list ap;
    va_start(ap, fmt);
    const int n = wvsprintfW(buf, fmt, ap);
    va_end(ap);
    std::u16string s(buf);
    EXPECT_EQ(static_cast<size_t>(n), s.size()) << "return count must match the text written";
    return s;
}

// Formats into a buffer of `capacity` units inside a larger one, so that a
// write past the capacity shows up as a changed guard unit.
struct Capped {
    std::u16string text;
    int returned;
    bool guardIntact;
};

Capped FmtCapped(size_t capacity, const WCHAR* fmt, ...)
{
    WCHAR buf[64];
    for (WCHAR& c : buf) c = u'#';
    va_list ap;
    va_start(ap, fmt);
    const int n = PlatformFormatW(buf, capacity, fmt, ap);
    va_end(ap);
    bool intact = true;
    for (size_t i = capacity; i < 64; ++i) intact = intact && buf[i] == u'#';
    return {std::u16string(buf, capacity ? std::char_traits<char16_t>::length(buf) : 0), n,
            intact};
}

TEST(Format, SignedAndUnsignedDecimal)
{
    EXPECT_EQ(u"0", Fmt(u"%d", 0));
    EXPECT_EQ(u"-17", Fmt(u"%d", -17));
    EXPECT_EQ(u"-2147483648", Fmt(u"%d", static_cast<int>(0x80000000u)));
    EXPECT_EQ(u"2147483647", Fmt(u"%i", 2147483647));
    EXPECT_EQ(u"4294967295", Fmt(u"%u", 0xFFFFFFFFu));
    EXPECT_EQ(u"4294967295", Fmt(u"%u", -1));
    // A DWORD tick count passed for %d prints as a (possibly negative) int.
    EXPECT_EQ(u"Time=-1", Fmt(u"Time=%d", static_cast<DWORD>(0xFFFFFFFFu)));
    // 'l' changes nothing (LONG is 32 bits); 'h' narrows to 16 bits.
    EXPECT_EQ(u"-5", Fmt(u"%ld", static_cast<LONG>(-5)));
    EXPECT_EQ(u"4294967295", Fmt(u"%lu", static_cast<ULONG>(0xFFFFFFFFu)));
    EXPECT_EQ(u"-1", Fmt(u"%hd", 0xFFFF));
    EXPECT_EQ(u"65535", Fmt(u"%hu", 0x1FFFF));
}

TEST(Format, Hexadecimal)
{
    EXPECT_EQ(u"c0000005", Fmt(u"%x", 0xC0000005u));
    EXPECT_EQ(u"C0000005", Fmt(u"%X", 0xC0000005u));
    EXPECT_EQ(u"0x1f", Fmt(u"0x%x", 31));
    EXPECT_EQ(u"0000ABCD", Fmt(u"%08X", 0xABCDu));
    EXPECT_EQ(u"FFFFFFFF", Fmt(u"%08X", -1));
    EXPECT_EQ(u"12345678", Fmt(u"%04X", 0x12345678u));  // a width is a minimum
    EXPECT_EQ(u"0x1f 0XAB", Fmt(u"%#x %#X", 31, 0xAB));
    EXPECT_EQ(u"0", Fmt(u"%#x", 0));
    EXPECT_EQ(u"ffff", Fmt(u"%hx", 0xABCDFFFFu));
}

TEST(Format, WidthPaddingAndJustification)
{
    EXPECT_EQ(u"07/12,14:03:59:",
              Fmt(u"%02d/%02d,%02d:%02d:%02d:", 7, 12, 14, 3, 59));
    EXPECT_EQ(u"   42", Fmt(u"%5d", 42));
    EXPECT_EQ(u"42   |", Fmt(u"%-5d|", 42));
    EXPECT_EQ(u"-0042", Fmt(u"%05d", -42));
    EXPECT_EQ(u"-42  |", Fmt(u"%-05d|", -42));  // '-' wins over '0'
    EXPECT_EQ(u"123456", Fmt(u"%3d", 123456));  // a width never cuts
    EXPECT_EQ(u"   ab|", Fmt(u"%*x|", 5, 0xAB));
    EXPECT_EQ(u"ab   |", Fmt(u"%*x|", -5, 0xAB));
    EXPECT_EQ(u"  MUX2:|MUX2:  |", Fmt(u"%7s|%-7s|", u"MUX2:", u"MUX2:"));
    EXPECT_EQ(u"  007", Fmt(u"%5.3d", 7));
}

TEST(Format, CharactersAndStrings)
{
    EXPECT_EQ(u"[A]", Fmt(u"[%c]", u'A'));
    EXPECT_EQ(u"\u00e9\u4e2d", Fmt(u"%c%c", 0xE9, 0x4E2D));
    EXPECT_EQ(u"MUX: CChannel::SendSABM() MUX2: ok",
              Fmt(u"MUX: %s %s ok", u"CChannel::SendSABM()", u"MUX2:"));
    EXPECT_EQ(u"(null)|(null)", Fmt(u"%s|%S", static_cast<const WCHAR*>(nullptr),
                                    static_cast<const char*>(nullptr)));
    EXPECT_EQ(u"AT+CMUX=0,0,5\r\n", Fmt(u"%S", "AT+CMUX=0,0,5\r\n"));
    EXPECT_EQ(u"ATD|ATA", Fmt(u"%hs|%ls", "ATD", u"ATA"));
    EXPECT_EQ(u"\u00ff", Fmt(u"%S", "\xff"));  // narrow bytes are Latin-1
    EXPECT_EQ(u"MUX", Fmt(u"%.3s", u"MUX2:"));
    EXPECT_EQ(u"MU", Fmt(u"%.*s", 2, u"MUX2:"));
    EXPECT_EQ(u"100%", Fmt(u"%d%%", 100));
    EXPECT_EQ(u"%", Fmt(u"%%"));
    EXPECT_EQ(u"", Fmt(u""));
    EXPECT_EQ(u"abc", Fmt(u"abc%"));  // a lone '%' at the end is dropped
    EXPECT_EQ(u"q", Fmt(u"%q"));      // unknown conversions print the character
}

TEST(Format, MixedMessageAsTheDriverWritesIt)
{
    EXPECT_EQ(u"MUX: Channel EXCEPTION -> 0xc0000005 in UserChannelThread ; Time=123456\r\n",
              Fmt(u"MUX: Channel EXCEPTION -> 0x%x in %s ; Time=%d\r\n", 0xC0000005u,
                  u"UserChannelThread", 123456));
}

TEST(Format, WsprintfStopsAt1024UnitsWithTerminator)
{
    std::u16string longArg(2000, u'x');
    WCHAR buf[1100];
    for (WCHAR& c : buf) c = u'#';
    const int n = wsprintfW(buf, u"%s", longArg.c_str());
    EXPECT_EQ(1023, n);
    EXPECT_EQ(0, buf[1023]);
    EXPECT_EQ(u'#', buf[1024]);
    EXPECT_EQ(std::u16string(1023, u'x'), std::u16string(buf));

    EXPECT_EQ(11, wsprintfW(buf, u"%d", -1234567890));
    EXPECT_EQ(u"-1234567890", std::u16string(buf));
}

TEST(Format, ExplicitCapacityCutsAndAlwaysTerminates)
{
    Capped c = FmtCapped(6, u"%s=%d", u"abcdef", 12);
    EXPECT_EQ(u"abcde", c.text);
    EXPECT_EQ(5, c.returned);
    EXPECT_TRUE(c.guardIntact);

    c = FmtCapped(8, u"%08X", 0x1234u);  // one unit short: the last digit goes
    EXPECT_EQ(u"0000123", c.text);
    EXPECT_EQ(7, c.returned);
    EXPECT_TRUE(c.guardIntact);

    c = FmtCapped(9, u"%08X", 0x1234u);  // exactly fits with its terminator
    EXPECT_EQ(u"00001234", c.text);
    EXPECT_EQ(8, c.returned);
    EXPECT_TRUE(c.guardIntact);

    c = FmtCapped(4, u"%-10d|", 5);  // cut inside the padding
    EXPECT_EQ(u"5  ", c.text);
    EXPECT_TRUE(c.guardIntact);

    c = FmtCapped(1, u"hello");
    EXPECT_EQ(u"", c.text);
    EXPECT_EQ(0, c.returned);
    EXPECT_TRUE(c.guardIntact);

    WCHAR untouched = u'#';
    va_list none{};
    EXPECT_EQ(0, PlatformFormatW(&untouched, 0, u"x", none));
    EXPECT_EQ(u'#', untouched);
}

TEST(Format, CutNeverSplitsASurrogatePair)
{
    // U+1F600 is the pair D83D DE00; with room for 3 units the pair at units
    // 2-3 does not fit and must go as a whole.
    Capped c = FmtCapped(4, u"ab%s", u"\U0001F600");
    EXPECT_EQ(u"ab", c.text);
    EXPECT_EQ(2, c.returned);
    EXPECT_TRUE(c.guardIntact);
    c = FmtCapped(5, u"ab%s", u"\U0001F600");
    EXPECT_EQ(u"ab\U0001F600", c.text);
}

TEST(WideString, LengthCopyCompareConcatenate)
{
    EXPECT_EQ(0u, wcslen(u""));
    EXPECT_EQ(5u, wcslen(u"MUX2:"));

    WCHAR buf[16];
    for (WCHAR& c : buf) c = u'#';
    EXPECT_EQ(buf, wcscpy(buf, u"MUX"));
    EXPECT_EQ(u"MUX", std::u16string(buf));
    EXPECT_EQ(u'#', buf[4]);
    EXPECT_EQ(buf, wcscat(buf, u"2:"));
    EXPECT_EQ(u"MUX2:", std::u16string(buf));
    EXPECT_EQ(buf, wcscat(buf, u""));
    EXPECT_EQ(u"MUX2:", std::u16string(buf));

    EXPECT_EQ(0, wcscmp(u"Ctrl", u"Ctrl"));
    EXPECT_LT(wcscmp(u"MUX1:", u"MUX2:"), 0);
    EXPECT_GT(wcscmp(u"MUX2:", u"MUX1:"), 0);
    EXPECT_LT(wcscmp(u"MUX", u"MUX1:"), 0);  // a prefix sorts first
    EXPECT_GT(wcscmp(u"MUX1:", u"MUX"), 0);
    EXPECT_GT(wcscmp(u"\uFFFF", u"a"), 0);  // units compare unsigned
    EXPECT_NE(0, wcscmp(u"ctrl", u"Ctrl"));  // case matters
}

TEST(WideString, BoundedCopyPadsAndMayLeaveUnterminated)
{
    WCHAR buf[8];
    for (WCHAR& c : buf) c = u'#';
    wcsncpy(buf, u"ab", 5);
    EXPECT_EQ(u'a', buf[0]);
    EXPECT_EQ(u'b', buf[1]);
    EXPECT_EQ(0, buf[2]);
    EXPECT_EQ(0, buf[4]);
    EXPECT_EQ(u'#', buf[5]);

    for (WCHAR& c : buf) c = u'#';
    wcsncpy(buf, u"abcdef", 3);
    EXPECT_EQ(u"abc###", std::u16string(buf, 6));
}

}  // namespace
