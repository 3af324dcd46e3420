#include "sh_aux/textfile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"

namespace {

constexpr int kDefaultBufferSize = 4096;
const char* const kReplacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// Sets the thread's last-error text for message nId about strPath and the
// system error nError; the read and write texts name the code first.
void ReportError(unsigned int nId, const std::string& strPath, int nError) {
    const std::string strSystem = GetSystemErrorText(nError);
    if (nId == 20001 || nId == 20002) {
        SetLastErrorTextId(nId, nError, strPath.c_str(), strSystem.c_str());
    } else {
        SetLastErrorTextId(nId, strPath.c_str(), nError, strSystem.c_str());
    }
    errno = nError;
}

// One system read, repeated when a signal interrupts it.
ssize_t ReadOnce(int nHandle, void* pBuffer, size_t nBytes) {
    for (;;) {
        const ssize_t n = ::read(nHandle, pBuffer, nBytes);
        if (n >= 0 || errno != EINTR) {
            return n;
        }
    }
}

bool IsHighSurrogate(char32_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLowSurrogate(char32_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

// 8-bit text in the system's code page: UTF-8 passes through; bytes that are
// not valid UTF-8 are Windows-1252.
std::string DecodeAnsi(const std::string& strBytes) {
    return IsValidUtf8(strBytes) ? strBytes : Cp1252ToUtf8(strBytes);
}

// UTF-16 to 8-bit text. What the code page cannot hold (an unpaired
// surrogate) becomes the default character, or U+FFFD without one, and sets
// *pbUsedDefault.
std::string WideToNarrow(std::u16string_view strText, const std::string* pDefault,
                         bool* pbUsedDefault) {
    std::string out;
    size_t nStart = 0;
    for (size_t i = 0; i < strText.size(); ++i) {
        if (IsHighSurrogate(strText[i]) && i + 1 < strText.size() &&
            IsLowSurrogate(strText[i + 1])) {
            ++i;
        } else if (IsHighSurrogate(strText[i]) || IsLowSurrogate(strText[i])) {
            out += Utf16ToUtf8(strText.substr(nStart, i - nStart));
            out += pDefault ? *pDefault : kReplacement;
            if (pbUsedDefault) {
                *pbUsedDefault = true;
            }
            nStart = i + 1;
        }
    }
    out += Utf16ToUtf8(strText.substr(nStart));
    return out;
}

// The UTF-16 units of one code point; U+FFFD beyond the last code point.
std::u16string CodePointUnits(char32_t cp) {
    if (cp > 0x10FFFF) {
        cp = 0xFFFD;
    }
    if (cp < 0x10000) {
        return std::u16string(1, static_cast<char16_t>(cp));
    }
    const char32_t v = cp - 0x10000;
    return {static_cast<char16_t>(0xD800 + (v >> 10)), static_cast<char16_t>(0xDC00 | (v & 0x3FF))};
}

// The file that strPath names at the end of its symbolic links, whether or
// not that file is there; false with errno set when the links cannot be
// followed.
bool ResolveLinks(const std::string& strPath, std::string& strTarget) {
    strTarget = strPath;
    for (int nHops = 0;; ++nHops) {
        struct stat st {};
        if (::lstat(strTarget.c_str(), &st) != 0) {
            return errno == ENOENT;
        }
        if (!S_ISLNK(st.st_mode)) {
            return true;
        }
        if (nHops == 40) {
            errno = ELOOP;
            return false;
        }
        std::vector<char> link(static_cast<size_t>(std::max<off_t>(st.st_size, 255)) + 1);
        const ssize_t n = ::readlink(strTarget.c_str(), link.data(), link.size());
        if (n < 0) {
            return false;
        }
        const std::string strLink(link.data(), static_cast<size_t>(n));
        const size_t nSlash = strTarget.rfind('/');
        if (strLink.empty() || strLink[0] == '/' || nSlash == std::string::npos) {
            strTarget = strLink;
        } else {
            strTarget = strTarget.substr(0, nSlash + 1) + strLink;
        }
    }
}

// Makes a new file in strFolder for the one named strName, hidden, and named
// so that two writers never meet. Its handle, or -1 with errno set.
int CreateBeside(const std::string& strFolder, const std::string& strName, std::string& strNew) {
    static std::atomic<unsigned> nSerial{0};
    std::random_device random;
    for (int nTry = 0; nTry < 100; ++nTry) {
        // Short enough for any file name's own length.
        strNew = strFolder + "." + strName.substr(0, 200) + "." + std::to_string(::getpid()) + "-" +
                 std::to_string(nSerial++) + "-" + std::to_string(random() % 100000) + ".new";
        // Created as any new file is (0666 less the umask).
        const int nHandle = ::open(strNew.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (nHandle >= 0 || errno != EEXIST) {
            return nHandle;
        }
    }
    errno = EEXIST;
    return -1;
}

// Gives the new file hNew the owner, mode and extended attributes (access
// lists among them) of the old one, hOld; false when any of them cannot be
// kept.
bool KeepWhatTheOldFileHad(int hNew, int hOld, const struct stat& st) {
    if (::fchown(hNew, st.st_uid, st.st_gid) != 0 || ::fchmod(hNew, st.st_mode & 07777) != 0) {
        return false;
    }
    ssize_t nList = ::flistxattr(hOld, nullptr, 0);
    if (nList < 0) {
        return errno == ENOTSUP;
    }
    std::vector<char> names(static_cast<size_t>(nList));
    nList = ::flistxattr(hOld, names.data(), names.size());
    if (nList < 0) {
        return false;
    }
    std::vector<char> value;
    for (size_t nPos = 0; nPos < static_cast<size_t>(nList);) {
        const char* pszName = names.data() + nPos;
        nPos += std::strlen(pszName) + 1;
        const ssize_t nValue = ::fgetxattr(hOld, pszName, nullptr, 0);
        if (nValue < 0) {
            return false;
        }
        value.resize(static_cast<size_t>(nValue));
        const ssize_t nGot = ::fgetxattr(hOld, pszName, value.data(), value.size());
        if (nGot < 0 ||
            ::fsetxattr(hNew, pszName, value.data(), static_cast<size_t>(nGot), 0) != 0) {
            return false;
        }
    }
    return true;
}

// Writes the whole of hText (from its start) over the file hFile, and makes
// it that long. The room is taken first, so that a full disk or a size limit
// fails before the old text is touched. 0, or the system's error code.
int WriteInPlace(int hText, int hFile) {
    struct stat stText {
    }, stFile{};
    if (::fstat(hText, &stText) != 0 || ::fstat(hFile, &stFile) != 0) {
        return errno;
    }
    const off_t nSize = stText.st_size;
    if (nSize > 0 && ::fallocate(hFile, FALLOC_FL_KEEP_SIZE, 0, nSize) != 0 &&
        errno != EOPNOTSUPP && errno != ENOSYS) {
        return errno;
    }
    if (nSize > stFile.st_size && ::ftruncate(hFile, nSize) != 0) {
        return errno;
    }
    std::vector<char> buffer(65536);
    for (off_t nDone = 0; nDone < nSize;) {
        const ssize_t nRead = ::pread(
            hText, buffer.data(),
            static_cast<size_t>(std::min<off_t>(nSize - nDone, static_cast<off_t>(buffer.size()))),
            nDone);
        if (nRead < 0 && errno == EINTR) {
            continue;
        }
        if (nRead <= 0) {
            return nRead < 0 ? errno : EIO;
        }
        for (ssize_t nWritten = 0; nWritten < nRead;) {
            const ssize_t n = ::pwrite(hFile, buffer.data() + nWritten,
                                       static_cast<size_t>(nRead - nWritten), nDone + nWritten);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return n < 0 ? errno : EIO;
            }
            nWritten += n;
        }
        nDone += nRead;
    }
    if (::ftruncate(hFile, nSize) != 0 || ::fsync(hFile) != 0) {
        return errno;
    }
    return 0;
}

// Puts the folder of strPath's entries on the disk. A folder the user cannot
// read, or a file system that keeps no such thing, is no failure. 0, or the
// system's error code.
int SyncFolder(const std::string& strPath) {
    const size_t nSlash = strPath.rfind('/');
    const std::string strFolder =
        nSlash == std::string::npos ? std::string(".") : strPath.substr(0, nSlash + 1);
    const int hFolder = ::open(strFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (hFolder < 0) {
        return 0;
    }
    int nError = 0;
    if (::fsync(hFolder) != 0 && errno != EINVAL && errno != EROFS) {
        nError = errno;
    }
    ::close(hFolder);
    return nError;
}

}  // namespace

// ---- Readers --------------------------------------------------------------------------

// Buffered reading of bytes. The base class itself reads an empty file: every
// read reports the end.
class TextFileReader {
public:
    TextFileReader(const std::string& strPath, int nHandle, int nBufferSize)
        : m_strPath(strPath), m_nHandle(nHandle), m_buffer(static_cast<size_t>(nBufferSize)) {}
    virtual ~TextFileReader() = default;

    virtual int GetChar() { return -1; }
    virtual int ReadLine(std::u16string& strLine) {
        strLine.clear();
        return -1;
    }
    virtual int ReadLineUtf8(std::string& strLine, bool /*bNarrow*/) {
        const int nResult = ReadLine(m_strWide);
        strLine = nResult == 0 ? Utf16ToUtf8(m_strWide) : std::string();
        return nResult;
    }

protected:
    // The next byte: 0 with rb set, -1 at the end of the file, -2 on failure.
    int PeekByte(unsigned char& rb) {
        if (m_nPos == m_nCount) {
            const int nResult = Fill();
            if (nResult != 0) {
                return nResult;
            }
        }
        rb = static_cast<unsigned char>(m_buffer[m_nPos]);
        return 0;
    }
    int NextByte(unsigned char& rb) {
        const int nResult = PeekByte(rb);
        if (nResult == 0) {
            ++m_nPos;
        }
        return nResult;
    }
    // The next byte that is no carriage return.
    int NextByteNotCR(unsigned char& rb) {
        int nResult = 0;
        do {
            nResult = NextByte(rb);
        } while (nResult == 0 && rb == '\r');
        return nResult;
    }

    // One line of units from fnNext (0, -1 or -2 as NextByte): everything up
    // to the next line feed, a carriage return right before it left out.
    template <class TString, class FnNext>
    static int ReadLineOf(TString& strLine, FnNext fnNext) {
        using Unit = typename TString::value_type;
        strLine.clear();
        int nResult = -1;
        bool bCarriageReturn = false;  // held back until we know what follows
        for (;;) {
            Unit u{};
            const int nNext = fnNext(u);
            if (nNext == -2) {
                return -2;
            }
            if (nNext == -1) {
                if (bCarriageReturn) {
                    strLine += Unit('\r');
                }
                return nResult;
            }
            nResult = 0;
            if (u == Unit('\n')) {
                return 0;
            }
            if (bCarriageReturn) {
                strLine += Unit('\r');
            }
            bCarriageReturn = u == Unit('\r');
            if (!bCarriageReturn) {
                strLine += u;
            }
        }
    }

    // A line of bytes.
    int ReadByteLine(std::string& strLine) {
        return ReadLineOf(strLine, [this](char& ch) {
            unsigned char b = 0;
            const int nResult = NextByte(b);
            ch = static_cast<char>(b);
            return nResult;
        });
    }

private:
    int Fill() {
        if (m_bEnd || m_buffer.empty()) {
            return -1;
        }
        const ssize_t n = ReadOnce(m_nHandle, m_buffer.data(), m_buffer.size());
        if (n < 0) {
            ReportError(20001, m_strPath, errno);
            return -2;
        }
        if (n == 0) {
            m_bEnd = true;
            return -1;
        }
        m_nPos = 0;
        m_nCount = static_cast<size_t>(n);
        return 0;
    }

    const std::string& m_strPath;
    int m_nHandle;
    std::vector<char> m_buffer;
    size_t m_nPos = 0;
    size_t m_nCount = 0;
    bool m_bEnd = false;
    std::u16string m_strWide;
};

class ANSI_TextFileReader : public TextFileReader {
public:
    using TextFileReader::TextFileReader;

    int GetChar() override {
        unsigned char b = 0;
        const int nResult = NextByteNotCR(b);
        return nResult == 0 ? b : nResult;
    }
    int ReadLine(std::u16string& strLine) override {
        const int nResult = ReadByteLine(m_strBytes);
        strLine = nResult == 0 ? Utf8ToUtf16(DecodeAnsi(m_strBytes)) : std::u16string();
        return nResult;
    }
    int ReadLineUtf8(std::string& strLine, bool bNarrow) override {
        const int nResult = ReadByteLine(strLine);
        if (nResult == 0 && !bNarrow) {
            strLine = DecodeAnsi(strLine);
        }
        return nResult;
    }

private:
    std::string m_strBytes;
};

class UTF8_TextFileReader : public TextFileReader {
public:
    using TextFileReader::TextFileReader;

    // One code point, decoded as a line is: an invalid or cut sequence gives
    // U+FFFD, and a byte that cannot continue the sequence is left for the
    // next call.
    int GetChar() override {
        unsigned char b = 0;
        int nResult = NextByteNotCR(b);
        if (nResult != 0) {
            return nResult;
        }
        std::string strSequence(1, static_cast<char>(b));
        for (;;) {
            size_t nUsed = 0;
            bool bCut = false;
            const char32_t cp = DecodeUtf8(strSequence, nUsed, &bCut);
            if (!bCut) {
                return static_cast<int>(cp);
            }
            unsigned char c = 0;
            nResult = PeekByte(c);
            if (nResult == -2) {
                return -2;
            }
            if (nResult == -1) {
                return 0xFFFD;  // cut short by the end of the file
            }
            strSequence += static_cast<char>(c);
            nUsed = 0;
            DecodeUtf8(strSequence, nUsed);
            if (nUsed < strSequence.size()) {
                return 0xFFFD;  // c does not continue it
            }
            NextByte(c);
        }
    }
    int ReadLine(std::u16string& strLine) override {
        const int nResult = ReadByteLine(m_strBytes);
        strLine = nResult == 0 ? Utf8ToUtf16(m_strBytes) : std::u16string();
        return nResult;
    }
    int ReadLineUtf8(std::string& strLine, bool /*bNarrow*/) override {
        const int nResult = ReadByteLine(strLine);
        if (nResult == 0 && !IsValidUtf8(strLine)) {
            strLine = Utf16ToUtf8(Utf8ToUtf16(strLine));
        }
        return nResult;
    }

private:
    std::string m_strBytes;
};

template <bool kBigEndian>
class UTF16_TextFileReader : public TextFileReader {
public:
    using TextFileReader::TextFileReader;

    int GetChar() override {
        char16_t u = u'\r';
        int nResult = 0;
        while (nResult == 0 && u == u'\r') {
            nResult = NextUnit(u);
        }
        return nResult == 0 ? u : nResult;
    }
    int ReadLine(std::u16string& strLine) override {
        return ReadLineOf(strLine, [this](char16_t& u) { return NextUnit(u); });
    }

private:
    // A lone byte at the end of the file ends it.
    int NextUnit(char16_t& ru) {
        unsigned char b0 = 0;
        unsigned char b1 = 0;
        int nResult = NextByte(b0);
        if (nResult == 0) {
            nResult = NextByte(b1);
        }
        ru = kBigEndian ? static_cast<char16_t>((b0 << 8) | b1)
                        : static_cast<char16_t>((b1 << 8) | b0);
        return nResult;
    }
};
using UTF16LE_TextFileReader = UTF16_TextFileReader<false>;
using UTF16BE_TextFileReader = UTF16_TextFileReader<true>;

// ---- Writers --------------------------------------------------------------------------

class TextFileWriter {
public:
    TextFileWriter(const std::string& strPath, int nHandle, int nBufferSize)
        : m_strPath(strPath), m_nHandle(nHandle), m_buffer(static_cast<size_t>(nBufferSize)) {}
    virtual ~TextFileWriter() = default;

    virtual int WriteString(std::u16string_view strText, bool* pbUsedDefault) = 0;
    virtual int WriteBOM() { return 0; }

    // Writes the buffered bytes; on failure what was not written stays
    // buffered.
    int Flush() {
        size_t nDone = 0;
        int nError = 0;
        while (nDone < m_nUsed) {
            const ssize_t n = ::write(m_nHandle, m_buffer.data() + nDone, m_nUsed - nDone);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                nError = n < 0 ? errno : EIO;
                break;
            }
            nDone += static_cast<size_t>(n);
        }
        std::memmove(m_buffer.data(), m_buffer.data() + nDone, m_nUsed - nDone);
        m_nUsed -= nDone;
        if (nError != 0) {
            ReportError(20002, m_strPath, nError);
            return -2;
        }
        return 0;
    }

protected:
    int Append(std::string_view bytes) {
        while (!bytes.empty()) {
            if (m_nUsed == m_buffer.size() && Flush() != 0) {
                return -2;
            }
            const size_t nTake = std::min(bytes.size(), m_buffer.size() - m_nUsed);
            std::memcpy(m_buffer.data() + m_nUsed, bytes.data(), nTake);
            m_nUsed += nTake;
            bytes.remove_prefix(nTake);
        }
        return 0;
    }

private:
    const std::string& m_strPath;
    int m_nHandle;
    std::vector<char> m_buffer;
    size_t m_nUsed = 0;
};

class ANSI_TextFileWriter : public TextFileWriter {
public:
    ANSI_TextFileWriter(const std::string& strPath, int nHandle, int nBufferSize,
                        const std::unique_ptr<std::string>& rpDefaultChar)
        : TextFileWriter(strPath, nHandle, nBufferSize), m_rpDefaultChar(rpDefaultChar) {}

    int WriteString(std::u16string_view strText, bool* pbUsedDefault) override {
        return Append(WideToNarrow(strText, m_rpDefaultChar.get(), pbUsedDefault));
    }

private:
    const std::unique_ptr<std::string>& m_rpDefaultChar;
};

class UTF8_TextFileWriter : public TextFileWriter {
public:
    using TextFileWriter::TextFileWriter;

    // An unpaired surrogate is written as U+FFFD.
    int WriteString(std::u16string_view strText, bool* /*pbUsedDefault*/) override {
        return Append(Utf16ToUtf8(strText));
    }
    int WriteBOM() override { return Append("\xEF\xBB\xBF"); }
};

template <bool kBigEndian>
class UTF16_TextFileWriter : public TextFileWriter {
public:
    using TextFileWriter::TextFileWriter;

    int WriteString(std::u16string_view strText, bool* /*pbUsedDefault*/) override {
        m_strBytes.resize(2 * strText.size());
        for (size_t i = 0; i < strText.size(); ++i) {
            const auto chHigh = static_cast<char>(strText[i] >> 8);
            const auto chLow = static_cast<char>(strText[i] & 0xFF);
            m_strBytes[2 * i] = kBigEndian ? chHigh : chLow;
            m_strBytes[2 * i + 1] = kBigEndian ? chLow : chHigh;
        }
        return Append(m_strBytes);
    }
    int WriteBOM() override { return WriteString(u"\uFEFF", nullptr); }

private:
    std::string m_strBytes;
};
using UTF16LE_TextFileWriter = UTF16_TextFileWriter<false>;
using UTF16BE_TextFileWriter = UTF16_TextFileWriter<true>;

// ---- TextFile -------------------------------------------------------------------------

TextFile::TextFile() = default;

TextFile::~TextFile() {
    if (IsReplacing()) {
        // Not closed: the text may be cut short, so the old file stays.
        m_bWriteFailed = true;
    }
    Close();
}

int TextFile::Open(const std::string& strPath, int nMode, int nFlags, int nBufferSize) {
    Close();
    if (nBufferSize <= 0) {
        nBufferSize = kDefaultBufferSize;
    }
    m_strPath = strPath;
    m_nFlags = nFlags;
    const int nRequested = nFlags & 0xFF;
    if (nMode == TF_READ) {
        return OpenForReading(nRequested, nBufferSize);
    }
    if (nMode > TF_READ) {
        return OpenForWriting(nMode, nRequested, nBufferSize);
    }
    ReportError(20003, m_strPath, EINVAL);
    return -2;
}

int TextFile::OpenForReading(int nRequested, int nBufferSize) {
    hFile = ::open(m_strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (hFile < 0) {
        ReportError(20003, m_strPath, errno);
        return -2;
    }
    encoding = TF_ANSI;
    bool bEmpty = false;
    if (nRequested != TF_ANSI) {
        // The byte-order mark: up to three bytes, then back to the first byte
        // after the mark.
        unsigned char head[3] = {};
        size_t nHead = 0;
        ssize_t n = 1;
        while (nHead < sizeof(head) && n > 0) {
            n = ReadOnce(hFile, head + nHead, sizeof(head) - nHead);
            nHead += n > 0 ? static_cast<size_t>(n) : 0;
        }
        size_t nMark = 0;
        if (nHead >= 2 && head[0] == 0xFF && head[1] == 0xFE) {
            encoding = TF_UTF16LE;
            nMark = 2;
        } else if (nHead >= 2 && head[0] == 0xFE && head[1] == 0xFF) {
            encoding = TF_UTF16BE;
            nMark = 2;
        } else if (nHead == 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF) {
            encoding = TF_UTF8;
            nMark = 3;
        }
        bEmpty = nHead == 0;
        if (n < 0 || ::lseek(hFile, static_cast<off_t>(nMark), SEEK_SET) < 0) {
            ReportError(20001, m_strPath, errno);
            ::close(hFile);
            hFile = -1;
            return -2;
        }
    }
    if (bEmpty) {
        m_pReader = std::make_unique<TextFileReader>(m_strPath, hFile, 0);
    } else if (encoding == TF_UTF16LE || encoding == TF_UTF16BE) {
        nBufferSize += nBufferSize & 1;  // whole units
        if (encoding == TF_UTF16LE) {
            m_pReader = std::make_unique<UTF16LE_TextFileReader>(m_strPath, hFile, nBufferSize);
        } else {
            m_pReader = std::make_unique<UTF16BE_TextFileReader>(m_strPath, hFile, nBufferSize);
        }
    } else if (encoding == TF_UTF8) {
        m_pReader = std::make_unique<UTF8_TextFileReader>(m_strPath, hFile, nBufferSize);
    } else {
        m_pReader = std::make_unique<ANSI_TextFileReader>(m_strPath, hFile, nBufferSize);
    }
    filemode = TF_READ;
    return 0;
}

int TextFile::OpenForWriting(int nMode, int nRequested, int nBufferSize) {
    if (nRequested == TF_DETECT) {
        nRequested = TF_ANSI;
    }
    if (nRequested > TF_UTF8) {
        ReportError(20004, m_strPath, EINVAL);
        return -2;
    }
    hFile = nMode == TF_WRITE ? OpenReplacement()
                              : ::open(m_strPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (hFile < 0) {
        ReportError(20004, m_strPath, errno);
        return -2;
    }
    m_bBOMPending = true;
    if (nMode == TF_APPEND) {
        struct stat st {};
        if (::fstat(hFile, &st) != 0 || (st.st_size > 0 && ::lseek(hFile, 0, SEEK_END) < 0)) {
            ReportError(20004, m_strPath, errno);
            ::close(hFile);
            hFile = -1;
            return -2;
        }
        m_bBOMPending = st.st_size == 0;
    }
    encoding = nRequested;
    switch (encoding) {
        case TF_UTF16LE:
            m_pWriter = std::make_unique<UTF16LE_TextFileWriter>(m_strPath, hFile, nBufferSize);
            break;
        case TF_UTF16BE:
            m_pWriter = std::make_unique<UTF16BE_TextFileWriter>(m_strPath, hFile, nBufferSize);
            break;
        case TF_UTF8:
            m_pWriter = std::make_unique<UTF8_TextFileWriter>(m_strPath, hFile, nBufferSize);
            break;
        default:
            m_pWriter = std::make_unique<ANSI_TextFileWriter>(m_strPath, hFile, nBufferSize,
                                                              m_pDefaultChar);
    }
    filemode = nMode;
    return 0;
}

int TextFile::OpenReplacement() {
    m_bWriteFailed = false;
    // A symbolic link stays a link: the file it names, at the end of however
    // many links, is what is written, and made when it is not there yet.
    std::string strTarget;
    if (!ResolveLinks(m_strPath, strTarget)) {
        return -1;
    }
    struct stat st {};
    const bool bExists = ::stat(strTarget.c_str(), &st) == 0;
    if (!bExists && errno != ENOENT) {
        return -1;
    }
    if (bExists && !S_ISREG(st.st_mode)) {
        return ::open(m_strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    }
    // Whether the user may write the file is the system's to say (modes,
    // access lists, read-only mounts): a file it would not open for writing
    // is refused, as it always was, whatever its folder allows.
    int hOld = -1;
    if (bExists) {
        hOld = ::open(m_strPath.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (hOld < 0 || ::fstat(hOld, &st) != 0) {
            const int nError = errno;
            if (hOld >= 0) {
                ::close(hOld);
            }
            errno = nError;
            return -1;
        }
    }
    const size_t nSlash = strTarget.rfind('/');
    const std::string strFolder =
        nSlash == std::string::npos ? std::string() : strTarget.substr(0, nSlash + 1);
    const std::string strName =
        nSlash == std::string::npos ? strTarget : strTarget.substr(nSlash + 1);

    // A new file beside the old one takes its place, unless that would change
    // what the old one was: a name of several (hard links), another user's
    // file, attributes that cannot be copied, or a folder the user cannot
    // write. Then the old file itself is written, once the new text is
    // complete.
    std::string strNew;
    int hNew = bExists && st.st_nlink > 1 ? -1 : CreateBeside(strFolder, strName, strNew);
    if (hNew < 0 && (!bExists || (st.st_nlink <= 1 && errno != EACCES && errno != EPERM &&
                                  errno != EROFS && errno != ENAMETOOLONG))) {
        const int nError = errno;
        if (hOld >= 0) {
            ::close(hOld);
        }
        errno = nError;
        return -1;
    }
    if (hNew >= 0 && bExists && !KeepWhatTheOldFileHad(hNew, hOld, st)) {
        ::close(hNew);
        ::unlink(strNew.c_str());
        hNew = -1;
    }
    if (hNew >= 0) {
        if (hOld >= 0) {
            ::close(hOld);
        }
        m_strNewPath = strNew;
        m_strTargetPath = strTarget;
        return hNew;
    }
    hNew = ::memfd_create("velko-save", MFD_CLOEXEC);
    if (hNew < 0) {
        const int nError = errno;
        ::close(hOld);
        errno = nError;
        return -1;
    }
    m_hInPlace = hOld;
    m_strTargetPath = strTarget;
    return hNew;
}

int TextFile::EndReplacement(bool bCommit) {
    if (m_hInPlace >= 0) {
        int nError = bCommit ? WriteInPlace(hFile, m_hInPlace) : 0;
        if (::close(std::exchange(m_hInPlace, -1)) != 0 && nError == 0 && bCommit) {
            nError = errno;
        }
        if (nError != 0) {
            ReportError(20002, m_strPath, nError);
            return -2;
        }
        return 0;
    }
    const std::string strNew = std::exchange(m_strNewPath, {});
    if (bCommit && ::rename(strNew.c_str(), m_strTargetPath.c_str()) == 0) {
        // The new name is on the disk too, not only the new file's text.
        const int nError = SyncFolder(m_strTargetPath);
        if (nError != 0) {
            ReportError(20002, m_strPath, nError);
            return -2;
        }
        return 0;
    }
    const int nError = errno;
    ::unlink(strNew.c_str());
    if (bCommit) {
        ReportError(20002, m_strPath, nError);
        return -2;
    }
    return 0;
}

int TextFile::WriteFailed(int nResult) {
    if (nResult != 0 && IsReplacing()) {
        m_bWriteFailed = true;
    }
    return nResult;
}

int TextFile::Flush() {
    return m_pWriter ? WriteFailed(m_pWriter->Flush()) : 0;
}

int TextFile::Close() {
    if (filemode == 0) {
        return 0;
    }
    int nResult = m_bWriteFailed ? -2 : Flush();
    // A replacement is on the disk before it takes the old file's place:
    // otherwise a crash could leave an empty file where the old one was.
    if (nResult == 0 && !m_strNewPath.empty() && ::fsync(hFile) != 0) {
        ReportError(20002, m_strPath, errno);
        nResult = -2;
    }
    // Text written in place comes from the new file, which is read while
    // still open; that file is memory only, and its closing cannot fail the
    // save.
    const bool bInPlace = m_hInPlace >= 0;
    if (bInPlace && EndReplacement(nResult == 0) != 0) {
        nResult = -2;
    }
    if (::close(hFile) != 0 && nResult == 0 && !bInPlace) {
        ReportError(20002, m_strPath, errno);
        nResult = -2;
    }
    if (!m_strNewPath.empty() && EndReplacement(nResult == 0) != 0) {
        nResult = -2;
    }
    m_bWriteFailed = false;
    hFile = -1;
    filemode = 0;
    m_pReader.reset();
    m_pWriter.reset();
    m_bBOMPending = false;
    return nResult;
}

TextFileReader* TextFile::BeginRead(bool* pbUsedDefault) {
    if (pbUsedDefault) {
        *pbUsedDefault = false;
    }
    if (!m_pReader) {
        ReportError(20001, m_strPath, EBADF);
    }
    return m_pReader.get();
}

int TextFile::ReadLine(std::u16string& strLine, bool* pbUsedDefault) {
    strLine.clear();
    TextFileReader* pReader = BeginRead(pbUsedDefault);
    return pReader ? pReader->ReadLine(strLine) : -2;
}

int TextFile::ReadLine(std::string& strLine, bool* pbUsedDefault) {
    strLine.clear();
    TextFileReader* pReader = BeginRead(pbUsedDefault);
    return pReader ? pReader->ReadLineUtf8(strLine, m_bNarrowLines) : -2;
}

int TextFile::GetChar() {
    TextFileReader* pReader = BeginRead(nullptr);
    return pReader ? pReader->GetChar() : -2;
}

int TextFile::BeginWrite(bool* pbUsedDefault) {
    if (pbUsedDefault) {
        *pbUsedDefault = false;
    }
    if (!m_pWriter) {
        ReportError(20002, m_strPath, EBADF);
        return -2;
    }
    if (m_bBOMPending) {
        const int nResult = WriteFailed(m_pWriter->WriteBOM());
        if (nResult != 0) {
            return nResult;
        }
        m_bBOMPending = false;
    }
    return 0;
}

// Writes through the writer; *pbUsedDefault collects over several pieces.
int TextFile::WritePiece(std::u16string_view strPiece, bool* pbUsedDefault) {
    bool bUsed = false;
    const int nResult = WriteFailed(m_pWriter->WriteString(strPiece, &bUsed));
    if (bUsed && pbUsedDefault) {
        *pbUsedDefault = true;
    }
    return nResult;
}

int TextFile::WriteString(std::u16string_view strText, bool* pbUsedDefault) {
    int nResult = BeginWrite(pbUsedDefault);
    if (nResult != 0) {
        return nResult;
    }
    if ((m_nFlags & TF_NO_CRLF) != 0) {
        return WritePiece(strText, pbUsedDefault);
    }
    for (;;) {
        const size_t nFeed = strText.find(u'\n');
        nResult = WritePiece(strText.substr(0, nFeed), pbUsedDefault);
        if (nResult != 0 || nFeed == std::u16string_view::npos) {
            return nResult;
        }
        nResult = WritePiece(u"\r\n", pbUsedDefault);
        if (nResult != 0) {
            return nResult;
        }
        strText.remove_prefix(nFeed + 1);
    }
}

int TextFile::WriteString(std::string_view strUtf8, bool* pbUsedDefault) {
    return WriteString(std::u16string_view(Utf8ToUtf16(strUtf8)), pbUsedDefault);
}

int TextFile::PutChar(char32_t ch, bool* pbUsedDefault) {
    if (ch == U'\n') {
        return WriteString(std::u16string_view(u"\n"), pbUsedDefault);
    }
    const int nResult = BeginWrite(pbUsedDefault);
    return nResult != 0 ? nResult : WritePiece(CodePointUnits(ch), pbUsedDefault);
}

int TextFile::WriteFormatV(bool* pbUsedDefault, const char* pszFormat, va_list args) {
    return WriteString(std::string_view(FormatTextV(pszFormat, args)), pbUsedDefault);
}

int TextFile::WriteFormat(bool* pbUsedDefault, const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    const int nResult = WriteFormatV(pbUsedDefault, pszFormat, args);
    va_end(args);
    return nResult;
}

void TextFile::SetDefaultChar(const char* pszDefault) {
    m_pDefaultChar = pszDefault ? std::make_unique<std::string>(pszDefault) : nullptr;
}
