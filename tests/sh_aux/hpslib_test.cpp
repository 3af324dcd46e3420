#include "sh_aux/hpslib.h"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

TEST(Tokenisers, NextTokenCutsFirstWordAndKeepsRest) {
    std::string text = "alpha beta";
    EXPECT_EQ(NextToken(text, " "), "alpha");
    EXPECT_EQ(text, "beta");

    std::string single = "alpha";
    EXPECT_EQ(NextToken(single, " "), "");
    EXPECT_EQ(single, "alpha");
}

TEST(Tokenisers, NextTokenTrimsTokenButNotRest) {
    std::string text = "  a  ; b ";
    EXPECT_EQ(NextToken(text, ";"), "a");
    EXPECT_EQ(text, " b ");
}

TEST(Tokenisers, TwoSeparatorsGiveEmptyToken) {
    std::string text = "a,,b";
    EXPECT_EQ(NextToken(text, ","), "a");
    EXPECT_EQ(NextToken(text, ","), "");
    EXPECT_EQ(text, "b");
}

TEST(Tokenisers, TwoCharacterSeparatorRemovesOnlyOneCharacter) {
    std::string text = "a::b";
    EXPECT_EQ(NextToken(text, "::"), "a");
    EXPECT_EQ(text, ":b");
}

TEST(Tokenisers, NextTokenOrRestTakesWholeUntrimmedText) {
    std::string text = " word ";
    EXPECT_EQ(NextTokenOrRest(text, " "), "");  // separator found at 0
    EXPECT_EQ(text, "word ");
    std::string single = "word";
    EXPECT_EQ(NextTokenOrRest(single, " "), "word");
    EXPECT_EQ(single, "");
    std::string padded = "\tword";
    EXPECT_EQ(NextTokenOrRest(padded, ","), "\tword");
}

TEST(Tokenisers, LastTokenCharGivesLastPathComponent) {
    std::string path = "C:\\models\\data\\ file.img ";
    EXPECT_EQ(LastTokenChar(path, '\\'), "file.img");
    EXPECT_EQ(path, "C:\\models\\data");
    std::string none = "plain";
    EXPECT_EQ(LastTokenChar(none, '\\'), "");
    EXPECT_EQ(none, "plain");
}

TEST(Tokenisers, NextTokenCharKeepsWhiteSpace) {
    std::string text = " a |b";
    EXPECT_EQ(NextTokenChar(text, '|'), " a ");
    EXPECT_EQ(text, "b");
    std::string none = "ab";
    EXPECT_EQ(NextTokenChar(none, '|'), "");
    EXPECT_EQ(none, "ab");
}

TEST(TextTests, QuotesAndNumericText) {
    EXPECT_FALSE(IsQuoted(""));
    EXPECT_TRUE(IsQuoted("'"));
    EXPECT_TRUE(IsQuoted("'abc'"));
    EXPECT_FALSE(IsQuoted("'abc"));
    EXPECT_EQ(StripQuotes("'"), "");
    EXPECT_EQ(StripQuotes("'abc"), "abc");
    EXPECT_EQ(StripQuotes("abc'"), "abc");
    EXPECT_EQ(StripQuotes("'abc'"), "abc");

    EXPECT_TRUE(IsNumericText(""));
    EXPECT_TRUE(IsNumericText("-12.5"));
    EXPECT_FALSE(IsNumericText("1e5"));
    EXPECT_FALSE(IsNumericText("x"));
    EXPECT_FALSE(IsNumericText("\xC3\xA9"));  // e acute has case
    EXPECT_TRUE(IsNumericText("3 + 4"));
}

TEST(Conversions, IntegerParsingAndClamping) {
    EXPECT_EQ(StringToInt("42abc"), 42);
    EXPECT_EQ(StringToInt("abc"), 0);
    EXPECT_EQ(StringToInt("  -7"), -7);
    EXPECT_EQ(StringToInt("99999999999"), INT_MAX);
    EXPECT_EQ(StringToInt("-99999999999"), INT_MIN);
    EXPECT_EQ(IntToString(-15), "-15");
}

TEST(Conversions, DoubleFormattingAndParsing) {
    EXPECT_EQ(DoubleToString(0.1), "0.100000");
    EXPECT_EQ(DoubleToString(1e20), "100000000000000000000.000000");
    EXPECT_EQ(FloatToString(0.5f), "0.500000");
    EXPECT_DOUBLE_EQ(StringToDouble(" 2.5e2xyz"), 250.0);
    EXPECT_DOUBLE_EQ(StringToDouble("abc"), 0.0);
    // Digits, point and exponent only: what strtod reads beyond them is not
    // a number here, and an exponent without digits is left unread.
    EXPECT_DOUBLE_EQ(StringToDouble("0x10"), 0.0);
    EXPECT_DOUBLE_EQ(StringToDouble("inf"), 0.0);
    EXPECT_DOUBLE_EQ(StringToDouble("-nan"), 0.0);
    EXPECT_DOUBLE_EQ(StringToDouble("1e"), 1.0);
    EXPECT_DOUBLE_EQ(StringToDouble("-.5e-1z"), -0.05);
    EXPECT_DOUBLE_EQ(StringToDouble("7.e+2"), 700.0);
    EXPECT_DOUBLE_EQ(StringToDouble("-."), 0.0);
}

TEST(Conversions, IndependentOfProcessLocaleWithDecimalComma) {
    const char* applied = nullptr;
    for (const char* name : {"de_DE.UTF-8", "es_ES.UTF-8", "fr_FR.UTF-8", "ca_ES.UTF-8"}) {
        if (std::setlocale(LC_ALL, name)) {
            applied = name;
            break;
        }
    }
    if (!applied) {
        GTEST_SKIP() << "no locale with a decimal comma is installed";
    }
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%.1f", 1.5);
    ASSERT_STREQ(buf, "1,5") << "locale did not change the C library's formatting";
    EXPECT_EQ(DoubleToString(1.5), "1.500000");
    EXPECT_EQ(Format("%f|%g", 2.25, 0.5), "2.250000|0.5");
    EXPECT_DOUBLE_EQ(StringToDouble("3.75"), 3.75);
    std::setlocale(LC_ALL, "C");
}

// The values of the model's types: one rule each, whatever the locale, and
// every double written so that it reads back the same to the last bit.
TEST(Conversions, ModelValuesByOneRuleAndDoublesExactBothWays) {
    const bool bComma = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
    int nValue = 1;
    for (const char* pszInt : {"1e3", "1.0", "0x10", "2147483648", "-2147483649", "99999999999",
                               "1; x", "", " ", "+", "- 1", "1 2", "abc"}) {
        EXPECT_FALSE(ParseIntValue(pszInt, nValue)) << pszInt;
    }
    EXPECT_EQ(nValue, 1);
    EXPECT_TRUE(ParseIntValue(" 010 ", nValue));
    EXPECT_EQ(nValue, 10);
    EXPECT_TRUE(ParseIntValue("-2147483648", nValue));
    EXPECT_EQ(nValue, INT_MIN);
    EXPECT_TRUE(ParseIntValue("+2147483647", nValue));
    EXPECT_EQ(nValue, INT_MAX);

    double dValue = 2.0;
    for (const char* pszDouble : {"1,5", "inf", "-inf", "nan", "0x10", "1e400", "-1e400", "1e-400",
                                  "1e", ".", "1.5.2", "", "1 5", "1e3x"}) {
        EXPECT_FALSE(ParseDoubleValue(pszDouble, dValue)) << pszDouble;
    }
    EXPECT_EQ(dValue, 2.0);
    const std::pair<const char*, double> accepted[] = {{"1e3", 1000.0},
                                                       {" .5 ", 0.5},
                                                       {"7.", 7.0},
                                                       {"-2.5E-1", -0.25},
                                                       {"4.9e-324", DBL_TRUE_MIN}};
    for (const auto& [pszText, dWant] : accepted) {
        EXPECT_TRUE(ParseDoubleValue(pszText, dValue)) << pszText;
        EXPECT_EQ(dValue, dWant) << pszText;
    }
    for (double d : {0.0, -0.0, 0.1, 0.1 + 0.2, 1.0 / 3.0, 1e-7, 2e-7, 0.1234567891, 5.0, -1e22,
                     1e300, DBL_MAX, DBL_TRUE_MIN, DBL_MIN}) {
        const std::string strText = DoubleToExactString(d);
        EXPECT_NE(strText.find_first_of(".e"), std::string::npos) << strText;
        EXPECT_TRUE(ParseDoubleValue(strText, dValue)) << strText;
        EXPECT_EQ(std::memcmp(&dValue, &d, sizeof d), 0) << strText;
        // Six decimals where they give the value back, else the exact text.
        const std::string strCarried = DoubleToFixedOrExactString(d);
        EXPECT_TRUE(strCarried == DoubleToString(d) || strCarried == strText) << strCarried;
        EXPECT_TRUE(ParseDoubleValue(strCarried, dValue)) << strCarried;
        EXPECT_EQ(std::memcmp(&dValue, &d, sizeof d), 0) << strCarried;
    }
    EXPECT_EQ(DoubleToFixedOrExactString(1.0), "1.000000");
    EXPECT_EQ(DoubleToFixedOrExactString(-2.5), "-2.500000");
    EXPECT_EQ(DoubleToFixedOrExactString(0.000001), "0.000001");
    EXPECT_EQ(DoubleToFixedOrExactString(1e-7), "1e-07");
    EXPECT_EQ(DoubleToFixedOrExactString(1.0 / 3.0), "0.3333333333333333");
    EXPECT_EQ(DoubleToFixedOrExactString(1e300), DoubleToString(1e300));
    EXPECT_EQ(DoubleToExactString(0.1), "0.1");
    EXPECT_EQ(DoubleToExactString(5.0), "5.0");
    EXPECT_EQ(DoubleToExactString(1e-7), "1e-07");
    if (bComma) {
        std::setlocale(LC_ALL, "C");
    }
}

// A signal's double is written in one pass; its text is the one the full
// path gives: "%f", read back and compared, else the exact text. Checked on
// decimals of up to six places and their neighbours, on both sides of the
// magnitudes where millionths stop being exact doubles (2^53 / 10^6) and
// where the integer part stops fitting (2^63), and on random bit patterns.
TEST(Conversions, FixedOrExactTextIsTheFullPathsText) {
    auto fullPath = [](double d) {
        std::string strFixed = Format("%f", d);
        if (!std::isfinite(d) || ParseDouble(strFixed.c_str()) == d) {
            return strFixed;
        }
        return DoubleToExactString(d);
    };
    std::vector<double> vecValues = {0.0,
                                     -0.0,
                                     1e-6,
                                     -1e-6,
                                     5e-7,
                                     0.1,
                                     0.3,
                                     1.0 / 3.0,
                                     1e15 + 0.5,
                                     123456.0000005,
                                     0x1p53,
                                     0x1p53 + 2,
                                     0x1p63,
                                     0x1p63 - 1024,
                                     -0x1p63,
                                     DBL_MAX,
                                     DBL_MIN,
                                     DBL_TRUE_MIN,
                                     NAN,
                                     -NAN,
                                     INFINITY,
                                     -INFINITY,
                                     9007199254.740991,
                                     9007199254.740992,
                                     9007199255.5};
    std::mt19937_64 random(53);
    std::uniform_int_distribution<long long> millionths(-(1LL << 55), 1LL << 55);
    std::uniform_int_distribution<int> places(0, 9);
    std::uniform_int_distribution<int> exponent(-30, 70);
    std::uniform_real_distribution<double> mantissa(-2.0, 2.0);
    for (int n = 0; n < 60000; ++n) {
        // A decimal of some places read as a double, and the doubles beside
        // it.
        static const double s_adPowers[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
        const double d = static_cast<double>(millionths(random)) / s_adPowers[places(random)];
        vecValues.push_back(d);
        vecValues.push_back(std::nextafter(d, INFINITY));
        vecValues.push_back(std::nextafter(d, -INFINITY));
        vecValues.push_back(std::ldexp(mantissa(random), exponent(random)));
        vecValues.push_back(std::bit_cast<double>(random()));
    }
    for (const double d : {0x1p53 / 1e6, 0x1p63}) {
        double dBelow = d;
        double dAbove = d;
        for (int n = 0; n < 2000; ++n) {
            dBelow = std::nextafter(dBelow, 0.0);
            dAbove = std::nextafter(dAbove, INFINITY);
            vecValues.insert(vecValues.end(), {dBelow, dAbove, -dBelow, -dAbove});
        }
    }
    int nFixed = 0;
    for (const double d : vecValues) {
        const std::string strText = DoubleToFixedOrExactString(d);
        ASSERT_EQ(strText, fullPath(d)) << Format("%a", d);
        nFixed += strText == Format("%f", d);
    }
    // Both ways are taken, each many times.
    EXPECT_GT(nFixed, 50000);
    EXPECT_GT(static_cast<int>(vecValues.size()) - nFixed, 50000);
}

// What the trace writers append is what "%f", "%lld" and the attribute
// escaping give, whatever the process locale: ties at the sixth decimal
// (exact in binary, so "%f" rounds them to even), both zeros, every
// magnitude up to where "%f" prints hundreds of digits, and the values that
// are not numbers.
TEST(Conversions, AppendedNumbersAndAttributesAreTheFormattedOnes) {
    const bool bComma = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
    std::vector<double> vecValues = {0.0,  -0.0,  0.5e-6,   1.5e-6,    2.5e-6,    1e15 + 0.5,
                                     1e20, -1e22, 1e50,     1e51,      DBL_MAX,   DBL_TRUE_MIN,
                                     NAN,  -NAN,  INFINITY, -INFINITY, 1.0 / 3.0, 123456.0000005};
    for (int k = -8192; k <= 8192; ++k) {
        vecValues.push_back(k / 128.0);  // seven decimals ending in 5 when k is odd
        vecValues.push_back(std::ldexp(2 * k + 1, -8) + 1048576.0);
    }
    std::mt19937_64 random(27);
    std::uniform_int_distribution<int> exponent(-40, 180);
    std::uniform_real_distribution<double> mantissa(-2.0, 2.0);
    for (int n = 0; n < 40000; ++n) {
        vecValues.push_back(std::ldexp(mantissa(random), exponent(random)));
    }
    for (const double dValue : vecValues) {
        std::string strText = "x";
        AppendFixed(strText, dValue);
        ASSERT_EQ(strText, "x" + Format("%f", dValue)) << Format("%a", dValue);
    }
    for (const long long nValue : {0LL, -1LL, 42LL, LLONG_MIN, LLONG_MAX}) {
        std::string strText;
        AppendInt(strText, nValue);
        EXPECT_EQ(strText, Format("%lld", nValue));
    }
    std::string strAttributes;
    AppendXmlAttribute(strAttributes, "v",
                       std::string("Ca\xC3\xB1\xC3\xB3n & <\"x\"> 'y'\0tail", 24));
    AppendXmlAttribute(strAttributes, "t", 2.5);
    AppendXmlAttribute(strAttributes, "n", -7);
    EXPECT_EQ(strAttributes,
              " v=\"Ca\xC3\xB1\xC3\xB3n &amp; &lt;&quot;x&quot;> 'y'\" t=\"2.500000\" n=\"-7\"");
    std::setlocale(LC_ALL, "C");
    EXPECT_TRUE(bComma) << "de_DE.UTF-8 is not installed: checked in the C locale only";
}

TEST(Conversions, StringToCharsTerminates) {
    char buf[8];
    std::memset(buf, 'x', sizeof(buf));
    StringToChars("abc", buf);
    EXPECT_STREQ(buf, "abc");
}

TEST(Clamping, LeftMidRightNeverThrow) {
    const std::string s = "abcdef";
    EXPECT_EQ(Left(s, -1), "");
    EXPECT_EQ(Left(s, 3), "abc");
    EXPECT_EQ(Left(s, 99), "abcdef");
    EXPECT_EQ(Mid(s, -2), "abcdef");
    EXPECT_EQ(Mid(s, 4), "ef");
    EXPECT_EQ(Mid(s, 10), "");
    EXPECT_EQ(Mid(s, 2, 2), "cd");
    EXPECT_EQ(Mid(s, 4, 10), "ef");
    EXPECT_EQ(Mid(s, 1, -3), "");
    EXPECT_EQ(Right(s, 2), "ef");
    EXPECT_EQ(Right(s, 20), "abcdef");
    EXPECT_EQ(Right(s, 0), "");
}

TEST(StringHelpers, TrimSetAndCaseInsensitiveCompare) {
    EXPECT_EQ(Trim(" \t\r\n\v\fx y\f\v\n\r\t "), "x y");
    EXPECT_EQ(Trim("\xC2\xA0x"), "\xC2\xA0x");  // no-break space is not in the set
    EXPECT_EQ(TrimLeft("  a "), "a ");
    EXPECT_EQ(TrimRight("  a "), "  a");
    EXPECT_TRUE(EqualsNoCase("ModelInfo", "modelinfo"));
    EXPECT_FALSE(EqualsNoCase("ModelInfo", "modelinf"));
    EXPECT_LT(CompareNoCase("abc", "ABD"), 0);
    EXPECT_GT(CompareNoCase("b", "A"), 0);
    std::string r = "a.b.c";
    EXPECT_EQ(ReplaceAll(r, ".", "::"), 2);
    EXPECT_EQ(r, "a::b::c");
}

TEST(StringHelpers, XmlEscaping) {
    EXPECT_EQ(EscapeXml("a<b>&\"c'"), "a&lt;b&gt;&amp;&quot;c&apos;");
    EXPECT_EQ(EscapeXml("plain"), "plain");
    // Each place escapes only what it needs.
    EXPECT_EQ(EscapeXmlAttribute("s'ha <\"a\"> & b"), "s'ha &lt;&quot;a&quot;> &amp; b");
    EXPECT_EQ(EscapeXmlSingleQuoted("s'ha <\"a\">"), "s&apos;ha &lt;\"a\">");
    EXPECT_EQ(EscapeXmlText("'a' <b> \"c\" ]]> & ]>"), "'a' &lt;b> \"c\" ]]&gt; &amp; ]>");
    // A reader turns the tabs and line ends of an attribute into blanks
    // unless they are references; text keeps them.
    EXPECT_EQ(EscapeXmlAttribute("a\tb\nc\r"), "a&#9;b&#10;c&#13;");
    EXPECT_EQ(EscapeXmlSingleQuoted("a\tb\n"), "a&#9;b&#10;");
    EXPECT_EQ(EscapeXmlText("a\tb\n"), "a\tb\n");
    std::string strOut;
    AppendXmlAttribute(strOut, "v", std::string_view("a\tb"));
    EXPECT_EQ(strOut, " v=\"a&#9;b\"");
}

// The characters XML holds only as references (or, in 1.1, would read as
// line ends) become references; tab, line feed, carriage return, other
// non-ASCII characters and NUL (which no reference gives) stay. Only a
// control character below U+0020 needs XML 1.1. The test that finds them
// eight bytes at a time agrees with the writer on random texts, the
// characters at every place of a word and cut at the text's end.
TEST(StringHelpers, CharacterReferencesWhereXmlHoldsNoCharacter) {
    using namespace std::string_literals;
    std::string strOut;
    EXPECT_TRUE(AppendXmlCharacterReferences(
        strOut,
        "a\x01"
        "b\tc\nd\re\x1F\x7F\xC2\x85\xC2\x9F\xC2\xA0\xE2\x80\xA8\xE2\x80\xA9\0z"s));
    EXPECT_EQ(strOut, "a&#1;b\tc\nd\re&#31;&#127;&#133;&#159;\xC2\xA0&#8232;\xE2\x80\xA9\0z"s);
    strOut.clear();
    EXPECT_FALSE(AppendXmlCharacterReferences(strOut, "del\x7F, nel\xC2\x85"));
    EXPECT_EQ(strOut, "del&#127;, nel&#133;");
    strOut.clear();
    EXPECT_FALSE(AppendXmlCharacterReferences(strOut, "\xC2"));
    EXPECT_EQ(strOut, "\xC2");

    std::mt19937 random(1);
    const std::vector<std::string> vecPieces = {"a",
                                                "<x y=\"1\">",
                                                "\t",
                                                "\n",
                                                "\r",
                                                "\xC3\xB1",
                                                "\x01",
                                                "\x1F",
                                                "\x7F",
                                                "\xC2\x85",
                                                "\xC2",
                                                "\xC2\xA0",
                                                "\xE2\x80",
                                                "\xE2\x80\xA8",
                                                "\xE2",
                                                "\xE2\x80\xA9",
                                                " ",
                                                "\xFF",
                                                std::string(1, '\0')};
    std::uniform_int_distribution<size_t> piece(0, vecPieces.size() - 1);
    std::uniform_int_distribution<int> plain(0, 3);
    int nWithReferences = 0;
    for (int n = 0; n < 20000; ++n) {
        std::string strText;
        for (int nPieces = n % 24; nPieces > 0; --nPieces) {
            // Mostly plain text, as in a trace's records.
            strText +=
                plain(random) != 0 ? std::string(plain(random) * 3, 'p') : vecPieces[piece(random)];
        }
        strOut.clear();
        AppendXmlCharacterReferences(strOut, strText);
        const bool bReferenced = strOut != strText;
        ASSERT_EQ(HasXmlReferencedCharacters(strText), bReferenced) << strText;
        nWithReferences += bReferenced;
    }
    EXPECT_GT(nWithReferences, 5000);
    EXPECT_LT(nWithReferences, 15000);
}

TEST(Encodings, Utf16RoundTripWithSurrogatePair) {
    const std::string text = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // A é € 😀
    const std::u16string wide = Utf8ToUtf16(text);
    ASSERT_EQ(wide.size(), 5u);
    EXPECT_EQ(wide[3], 0xD83D);
    EXPECT_EQ(wide[4], 0xDE00);
    EXPECT_EQ(Utf16ToUtf8(wide), text);
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
    // A byte that is no UTF-8, a sequence cut short and lone surrogates
    // each stand as one U+FFFD.
    EXPECT_EQ(Utf8ToUtf16("a\xE9 \xF0\x9F\x98"), u"a\xFFFD \xFFFD");
    EXPECT_EQ(Utf16ToUtf8(u"\xDE00x\xD83D"), "\xEF\xBF\xBDx\xEF\xBF\xBD");

    // The conversions take runs of ASCII in one piece: they agree with a code
    // point at a time, through DecodeUtf8, on random bytes and units.
    const auto ByCodePoint = [](std::string_view str) {
        std::u16string out;
        for (size_t i = 0; i < str.size();) {
            const char32_t cp = DecodeUtf8(str, i);
            if (cp >= 0x10000) {
                out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
                out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
            } else {
                out += static_cast<char16_t>(cp);
            }
        }
        return out;
    };
    std::mt19937 random(46);
    // Mostly ASCII, lead and continuation bytes, and surrogates.
    const std::vector<unsigned> vecPool = {0x41, 0x20, 0x00, 0x7F, 0x80, 0xBF, 0xC3, 0xE2,
                                           0xED, 0xF0, 0xF4, 0xFF, 0xD8, 0xDC, 0x9F};
    for (int nCase = 0; nCase < 20000; ++nCase) {
        std::string bytes;
        std::u16string units;
        const size_t nLength = random() % 12;
        for (size_t i = 0; i < nLength; ++i) {
            bytes += static_cast<char>(vecPool[random() % vecPool.size()]);
            units += static_cast<char16_t>((vecPool[random() % vecPool.size()] << 8) |
                                           vecPool[random() % vecPool.size()]);
        }
        ASSERT_EQ(Utf8ToUtf16(bytes), ByCodePoint(bytes)) << nCase;
        // UTF-8 of the units, a code point at a time, decodes to what the
        // units were, with lone surrogates as U+FFFD.
        const std::string strUtf8 = Utf16ToUtf8(units);
        std::u16string expected;
        for (size_t i = 0; i < units.size(); ++i) {
            const bool bPair = units[i] >= 0xD800 && units[i] <= 0xDBFF && i + 1 < units.size() &&
                               units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF;
            if (bPair) {
                expected += units.substr(i++, 2);
            } else {
                expected += units[i] >= 0xD800 && units[i] <= 0xDFFF ? u'\xFFFD' : units[i];
            }
        }
        ASSERT_EQ(ByCodePoint(strUtf8), expected) << nCase;
    }
}

TEST(Encodings, WindowsTextFallsBackToCp1252) {
    EXPECT_EQ(DecodeTextBytes("caf\xE9 \x80"), "caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_EQ(DecodeTextBytes("\xEF\xBB\xBFok \xC3\xA9"), "ok \xC3\xA9");
    EXPECT_FALSE(IsValidUtf8("\xC3"));
    EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));  // encoded surrogate
    std::string cut = "ab\xE2\x82\xAC";
    TruncateUtf8(cut, 4);
    EXPECT_EQ(cut, "ab");
}

TEST(DynBlock, CapacityGrowsInKilobytesAndNeverShrinks) {
    void* p = DynBlockRealloc(nullptr, 1);
    EXPECT_EQ(DynBlockCapacity(p), 1024);
    EXPECT_EQ(DynBlockLength(p), 1);
    p = DynBlockRealloc(p, 1024);
    EXPECT_EQ(DynBlockCapacity(p), 1024);
    static_cast<char*>(p)[1023] = 'z';
    p = DynBlockRealloc(p, 1025);
    EXPECT_EQ(DynBlockCapacity(p), 2048);
    EXPECT_EQ(static_cast<char*>(p)[1023], 'z');
    p = DynBlockRealloc(p, 2048);
    void* same = DynBlockRealloc(p, 10);
    EXPECT_EQ(same, p);
    EXPECT_EQ(DynBlockCapacity(p), 2048);
    EXPECT_EQ(DynBlockLength(p), 10);
    void* dup = DynBlockDup(p);
    EXPECT_EQ(DynBlockCapacity(dup), 2048);
    EXPECT_EQ(static_cast<char*>(dup)[1023], 'z');
    DynBlockFree(dup);
    DynBlockFree(p);
    DynBlockFree(nullptr);
    EXPECT_EQ(DynBlockLength(nullptr), 0);
    EXPECT_EQ(DynBlockCapacity(nullptr), 0);
}

TEST(DynBlock, LengthWhoseCapacityDoesNotFitIsRefused) {
    void* p = DynBlockRealloc(nullptr, 1);
    ASSERT_NE(p, nullptr);
    // Rounded up to whole kilobytes these lengths exceed the header's 32-bit
    // capacity: the request fails and the block stays as it was.
    EXPECT_EQ(DynBlockRealloc(p, INT_MAX - 1000), nullptr);
    EXPECT_EQ(DynBlockRealloc(p, INT_MAX), nullptr);
    EXPECT_EQ(DynBlockLength(p), 1);
    EXPECT_EQ(DynBlockCapacity(p), 1024);
    EXPECT_EQ(DynBlockRealloc(nullptr, INT_MAX), nullptr);
    DynBlockFree(p);
}

TEST(Files, ExistenceOfFilesAndFolders) {
    const auto dir = std::filesystem::temp_directory_path();
    EXPECT_TRUE(FileExists(dir.string()));
    EXPECT_TRUE(FileStatusExists(dir.string()));
    const std::string missing = (dir / "velko-no-such-file").string();
    EXPECT_FALSE(FileExists(missing));
    EXPECT_FALSE(RemoveFile(missing));
}

TEST(Files, RemoveFileRemovesFilesButNotFolders) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("velko_remove_" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir / "empty");
    const std::string file = (dir / "file.txt").string();
    { std::ofstream(file) << "x"; }
    EXPECT_FALSE(RemoveFile((dir / "empty").string()));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "empty"));
    EXPECT_TRUE(RemoveFile(file));
    EXPECT_FALSE(FileExists(file));
    std::filesystem::remove_all(dir);
}

}  // namespace
