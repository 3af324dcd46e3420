#pragma once

// Line-oriented text files in four encodings: 8-bit text, UTF-16
// little-endian, UTF-16 big-endian and UTF-8. Reading detects the encoding
// from the byte-order mark; writing puts the mark of the chosen encoding once,
// before the first text of a new file. Callers see UTF-16 lines whatever the
// file holds, or UTF-8 lines through the std::string overloads.
//
// "8-bit text" is the system's code page, which here is UTF-8: bytes are
// passed through, and a line that is not valid UTF-8 is read as
// Windows-1252.
//
// Every operation returns 0 on success, -1 at the end of the file (reading
// only) or -2 on failure; a failure leaves its text as the thread's last-error
// text (GetLastErrorText): 20001 a read failed, 20002 a write failed, 20003
// the file cannot be opened for reading, 20004 not for writing. errno keeps
// the system's code.
//
// One TextFile belongs to one thread.

#include <cstdarg>
#include <memory>
#include <string>
#include <string_view>

// File modes. Any mode above TF_APPEND writes too: it opens the file if it
// exists, creates it otherwise, and writes from its start without truncating.
//
// TF_WRITE replaces the file whole or not at all: the text goes to a new file
// beside it, which takes the old one's place (keeping its owner, permissions
// and extended attributes, and the link when the path is a symbolic link:
// the file at the end of the links is replaced, or made when it is not there)
// only once Close, or the next Open, has written and flushed it to the disk;
// the folder is then flushed too. A failure anywhere on the way (a write, the
// flush, the rename) leaves the old file as it was and the new one removed;
// so does destroying the object before it is closed.
//
// What the old file meant stays: a file the user cannot write is refused. A
// file that the new one could not stand for (one with several names, another
// user's, one in a folder the user cannot write) is written in place instead,
// once the whole new text is there and the room for it taken: a failure
// before that leaves it as it was. A path that names a device or a pipe is
// written in place.
enum : int {
    TF_READ = 1,
    TF_WRITE = 2,   // create or replace
    TF_APPEND = 3,  // open or create, write at the end
    TF_OVERWRITE = 4,
};

// Encodings: the low byte of the open flags. 0 detects the encoding on
// reading and means TF_ANSI on writing.
enum : int {
    TF_DETECT = 0,
    TF_ANSI = 1,
    TF_UTF16LE = 2,
    TF_UTF16BE = 3,
    TF_UTF8 = 4,
};

// Open flag: line feeds are written as they are instead of as CR LF.
inline constexpr int TF_NO_CRLF = 0x100;

class TextFileReader;
class TextFileWriter;

class TextFile {
public:
    TextFile();
    ~TextFile();
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;

    // Opens strPath in nMode with the encoding and flags of nFlags; a buffer
    // size of 0 means 4096 bytes. A file that is open is closed first. After a
    // failure the object is closed.
    int Open(const std::string& strPath, int nMode, int nFlags = TF_DETECT, int nBufferSize = 0);
    // Flushes, then closes; the flush's result. 0 when already closed. A
    // file opened with TF_WRITE takes its place here, when all went well.
    int Close();
    // Writes the buffered bytes (0 in read mode).
    int Flush();

    // The next line without its line end (LF, or CR LF). A carriage return
    // elsewhere stays in the line. 0 with a line, -1 at the end of the file
    // (the line is then empty), -2 when a read fails.
    int ReadLine(std::u16string& strLine, bool* pbUsedDefault = nullptr);
    // The same as UTF-8; with narrow lines on, an 8-bit file's bytes as stored.
    int ReadLine(std::string& strLine, bool* pbUsedDefault = nullptr);
    // The next character, carriage returns skipped: a byte of an 8-bit file,
    // a UTF-16 unit, or a code point of a UTF-8 file. -1 at the end, -2 on
    // failure.
    int GetChar();

    // Writes the text, each line feed as CR LF unless TF_NO_CRLF was given.
    // *pbUsedDefault tells whether the default character replaced something
    // an 8-bit file cannot hold (an unpaired surrogate).
    int WriteString(std::u16string_view strText, bool* pbUsedDefault = nullptr);
    int WriteString(std::string_view strUtf8, bool* pbUsedDefault = nullptr);
    // One code point; a line feed is written as WriteString writes it.
    int PutChar(char32_t ch, bool* pbUsedDefault = nullptr);
    // printf-style text, formatted without the process locale.
    int WriteFormat(bool* pbUsedDefault, const char* pszFormat, ...)
        __attribute__((format(printf, 3, 4)));
    int WriteFormatV(bool* pbUsedDefault, const char* pszFormat, va_list args);

    // What an 8-bit file gets for a character it cannot hold; null: U+FFFD.
    void SetDefaultChar(const char* pszDefault);
    // Whether ReadLine into a std::string hands an 8-bit file's lines back
    // untranslated.
    void SetNarrowLines(bool bNarrow) { m_bNarrowLines = bNarrow; }

    // The encoding in use (TF_ANSI ... TF_UTF8; detected on reading), 0 when
    // closed.
    int GetEncoding() const { return filemode == 0 ? 0 : encoding; }
    int GetMode() const { return filemode; }
    bool IsOpen() const { return filemode != 0; }

private:
    int OpenForReading(int nRequested, int nBufferSize);
    int OpenForWriting(int nMode, int nRequested, int nBufferSize);
    // For TF_WRITE: opens the new file beside the one it replaces, or the
    // path itself when that is no plain file. The handle, or -1.
    int OpenReplacement();
    // Puts the new file in the old one's place, or its text into the old
    // one (bCommit, when all went well), or drops it. 0, or -2 with the
    // error text set.
    int EndReplacement(bool bCommit);
    bool IsReplacing() const { return !m_strNewPath.empty() || m_hInPlace >= 0; }
    // The write that failed (the file so far is not the text asked for).
    int WriteFailed(int nResult);
    // The reader; null, with the error text set, when not open for reading.
    TextFileReader* BeginRead(bool* pbUsedDefault);
    // Checks the mode and writes a pending byte-order mark.
    int BeginWrite(bool* pbUsedDefault);
    int WritePiece(std::u16string_view strPiece, bool* pbUsedDefault);

    std::string m_strPath;
    int filemode = 0;
    int encoding = TF_DETECT;
    int m_nFlags = 0;
    bool m_bNarrowLines = false;
    int hFile = -1;
    // While a TF_WRITE file is written beside the one it replaces: the new
    // file, the file it takes the place of, and whether a write has failed.
    // When the new text goes into the old file at Close, hFile holds it in
    // memory and m_hInPlace is the old file, open for writing.
    std::string m_strNewPath;
    int m_hInPlace = -1;
    std::string m_strTargetPath;
    bool m_bWriteFailed = false;
    std::unique_ptr<TextFileReader> m_pReader;
    std::unique_ptr<TextFileWriter> m_pWriter;
    bool m_bBOMPending = false;
    std::unique_ptr<std::string> m_pDefaultChar;
};
