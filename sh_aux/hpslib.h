#pragma once

// Small text, number and file helpers shared by every part of the program.
// Text is UTF-8 in std::string; number formatting and parsing never depend
// on the process locale.

#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>

// ---- Tokenisers: cut the token off the front (or back) of the text ---------

// Text before the first separator (untrimmed); the text keeps what follows it.
// Not found: empty token, text unchanged.
std::string NextTokenChar(std::string& strText, char chSep);
// Text before the first separator, trimmed; the text loses the token and one
// character more. Not found: empty token, text unchanged.
std::string NextToken(std::string& strText, const std::string& strSep);
// As NextToken, but when the separator is missing the whole text (untrimmed)
// is the token and the text becomes empty.
std::string NextTokenOrRest(std::string& strText, const std::string& strSep);
// Text after the last separator, trimmed; the text keeps what stands before.
std::string LastTokenChar(std::string& strText, char chSep);

// The same cuts by position: each reads strText from nPos and moves nPos
// where the forms above would cut the text, which stays as it is (not
// found: nPos stays; NextTokenOrRest then moves it to the end). Cutting a
// text token by token this way takes time in proportion to its length; the
// forms above move the whole rest on every call.
std::string NextTokenChar(std::string_view strText, size_t& nPos, char chSep);
std::string NextToken(std::string_view strText, size_t& nPos, std::string_view strSep);
std::string NextTokenOrRest(std::string_view strText, size_t& nPos, std::string_view strSep);

// ---- Conversions ------------------------------------------------------------

std::string IntToString(int nValue);
std::string DoubleToString(double dValue);  // "%f": six decimals, point
std::string FloatToString(float fValue);
int StringToInt(const std::string& strText);  // base 10, clamped to 32 bits
// Leading blanks, a sign, digits with a point, an exponent; reading stops at
// the first character that does not fit ("0x10" is 0, "inf" and "nan" no
// number); no number is 0.0.
double StringToDouble(const std::string& strText);
// Copies the text and a terminating zero into pszDest (size()+1 bytes).
void StringToChars(const std::string& strText, char* pszDest);

// ---- Values of the model's number types ---------------------------------------
// One rule per type, whatever the locale, for every value a model, a
// parametrization, an edit or an event parameter gives as text. Blanks
// around the value are allowed. An int is an optional sign and decimal
// digits ("010" is ten) from -2147483648 to 2147483647. A double is an
// optional sign, digits with an optional point (at least one digit) and an
// optional exponent, of a finite value that a double can hold ("1e400" and
// "1e-400" are none). False, leaving the value alone, for any other text
// ("1,5", "0x10", "inf", "1e3" as an int, "1; x").
bool ParseIntValue(std::string_view strText, int& nValue);
bool ParseDoubleValue(std::string_view strText, double& dValue);
// The shortest text that reads back as exactly dValue, by ParseDoubleValue
// and by a C compiler as a double constant: with a point or an exponent
// ("2.0", "0.1", "1e-07"). "inf", "-inf" or "nan" for what is no finite
// number.
std::string DoubleToExactString(double dValue);
// A double as the texts it travels in have it (signal parameters, the
// times of a parametrization): "%f" wherever six decimals give dValue back
// exactly ("1.000000", "2.500000"), the exact text of DoubleToExactString
// only where they would lose digits ("0.1234567891", "1e-07").
std::string DoubleToFixedOrExactString(double dValue);

// ---- Tests on text ------------------------------------------------------------

// True when the text holds no letter that has case (numbers, empty text).
bool IsNumericText(const std::string& strText);
// True when the text can only be meant as a number: IsNumericText holds, or
// it starts with a digit, after blanks and perhaps a sign or a point ("1e3",
// "0x10"), which no name does.
bool IsWrittenAsNumber(const std::string& strText);
bool IsQuoted(const std::string& strText);
std::string StripQuotes(const std::string& strText);

// ---- Files ---------------------------------------------------------------------

bool FileExists(const std::string& strPath);        // file or folder
bool FileStatusExists(const std::string& strPath);  // file or folder, by stat
bool RemoveFile(const std::string& strPath);        // files only, never folders

// ---- Memory ----------------------------------------------------------------------

// True when nBytes can be allocated and used without crowding the machine:
// at most half of the memory available now (and of the address-space
// limit, when there is one). Sizes claimed by a file are checked with it
// before anything is allocated: Linux grants more than it has and ends the
// program when the memory is touched.
bool MemoryCanHold(uint64_t nBytes);

// ---- Growable signed buffer ------------------------------------------------------

constexpr uint32_t DB_SIG = 0x47534442;
struct DynBlockHeader {
    uint32_t signature;
    int32_t capacity;
    int32_t length;
};
// nullptr when the block cannot grow (allocation failure, or a length whose
// capacity would not fit 32 bits); pData then stays valid and unchanged.
void* DynBlockRealloc(void* pData, int nLength);
void DynBlockFree(void* pData);
void* DynBlockDup(const void* pData);
int DynBlockLength(const void* pData);
int DynBlockCapacity(const void* pData);

// ---- String helpers ------------------------------------------------------------------

// Clamped substrings: out-of-range positions and counts are clamped, never throw.
std::string Left(const std::string& str, int nCount);
std::string Mid(const std::string& str, int nFirst);
std::string Mid(const std::string& str, int nFirst, int nCount);
std::string Right(const std::string& str, int nCount);

// Trim over space, tab, CR, LF, VT and FF.
bool IsTrimSpace(char ch);
std::string Trim(const std::string& str);
// The view without the blanks Trim removes at either end.
std::string_view TrimView(std::string_view str);
std::string TrimLeft(const std::string& str);
std::string TrimRight(const std::string& str);

// ASCII case handling.
std::string ToUpperAscii(std::string str);
std::string ToLowerAscii(std::string str);
int CompareNoCase(std::string_view a, std::string_view b);
bool EqualsNoCase(std::string_view a, std::string_view b);

// Replaces every occurrence of strOld (not empty) by strNew; returns the count.
int ReplaceAll(std::string& str, const std::string& strOld, const std::string& strNew);

// printf-style formatting, always with the "C" numeric conventions.
std::string Format(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* pszFormat, va_list args);
// Locale-independent strtod: parses as much of psz as forms a number.
double ParseDouble(const char* psz, char** ppEnd = nullptr);

// Escapes &, <, >, " and ' for use anywhere in XML.
std::string EscapeXml(std::string_view str);
// Escapes only what each place needs, so that values that need nothing
// are written as they are: a double-quoted attribute value (&, <, "), a
// single-quoted one (&, <, ') and element text (&, <, and the > of "]]>").
// In attribute values tabs, line feeds and carriage returns are written as
// character references too: a reader turns them into blanks otherwise.
std::string EscapeXmlAttribute(std::string_view str);
std::string EscapeXmlSingleQuoted(std::string_view str);
std::string EscapeXmlText(std::string_view str);

// XML 1.0 cannot hold the control characters other than tab, line feed and
// carriage return, not even as references; XML 1.1 holds them as character
// references only, and so DEL and U+0080 to U+009F, and reads U+0085 and
// U+2028 as line ends. True when strText holds any of these (the C0 ones,
// DEL, U+0080 to U+009F, U+2028); a text of plain ASCII is looked at eight
// bytes at a time.
bool HasXmlReferencedCharacters(std::string_view strText);
// Appends strText with each of those characters as a character reference
// ("&#1;", "&#127;", "&#133;", "&#8232;") and the rest as it is; true when
// one of them is a control character that only XML 1.1 holds, so that the
// document holding the text must be declared 1.1. The references stand
// where the text was raw XML: in attribute values and element text.
bool AppendXmlCharacterReferences(std::string& strOut, std::string_view strText);

// ---- Appending to a text ---------------------------------------------------------------

// Append what the functions above return, without a temporary text, for
// writers that build long texts piece by piece in one buffer.
// nValue as "%d" writes it.
void AppendInt(std::string& strOut, long long nValue);
// dValue as "%f" writes it in the "C" locale: six decimals after a point.
void AppendFixed(std::string& strOut, double dValue);
// ` name="value"`: text escaped as EscapeXmlAttribute does, up to its first
// NUL (which XML cannot hold, and which ends a value passed to "%s");
// numbers as AppendFixed and AppendInt write them.
void AppendXmlAttribute(std::string& strOut, std::string_view strName, std::string_view strValue);
void AppendXmlAttribute(std::string& strOut, std::string_view strName, double dValue);
void AppendXmlAttribute(std::string& strOut, std::string_view strName, int nValue);

// ---- Encodings -------------------------------------------------------------------------

// Decodes the UTF-8 sequence at str[nPos] (nPos < str.size()) and moves
// nPos past it. What is no valid sequence gives one U+FFFD for its longest
// beginning that a valid sequence could have (at least one byte), so a
// sequence cut short gives one U+FFFD and the byte that cut it is decoded
// next. *pbCut tells whether the end of str cut the sequence short.
char32_t DecodeUtf8(std::string_view str, size_t& nPos, bool* pbCut = nullptr);
// Invalid sequences become U+FFFD as DecodeUtf8 makes them.
std::u16string Utf8ToUtf16(std::string_view str);
// Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view str);
bool IsValidUtf8(std::string_view str);
// Decodes file bytes: valid UTF-8 (a BOM is dropped) is kept, any other text
// is read as Windows-1252.
std::string DecodeTextBytes(std::string_view bytes);
std::string Cp1252ToUtf8(std::string_view bytes);
// Cuts str to at most nBytes without splitting a UTF-8 sequence.
void TruncateUtf8(std::string& str, size_t nBytes);

// ---- Developer notes --------------------------------------------------------------------

// Writes a progress or failure note meant for the developer, never the user,
// to stderr as it is (the text carries its own line end).
void DebugOutput(std::string_view strText);
