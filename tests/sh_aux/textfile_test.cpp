#include "sh_aux/textfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "sh_aux/customexception.h"
#include "support/asplainuser.h"
#include "support/filebytes.h"
#include "support/filesizelimit.h"
#include "support/tempfolder.h"

namespace {

using velkotest::ReadFileBytes;
using velkotest::WriteFileBytes;

std::string LastError() {
    const std::string* pText = GetLastErrorText();
    return pText ? *pText : std::string();
}

// Every line of the file, read with encoding detection.
std::vector<std::u16string> ReadAll(const std::string& strPath, int nBufferSize = 0,
                                    int* pnEncoding = nullptr) {
    TextFile file;
    EXPECT_EQ(file.Open(strPath, TF_READ, TF_DETECT, nBufferSize), 0) << LastError();
    if (pnEncoding) {
        *pnEncoding = file.GetEncoding();
    }
    std::vector<std::u16string> vecLines;
    std::u16string strLine;
    int nResult = 0;
    while ((nResult = file.ReadLine(strLine)) == 0) {
        vecLines.push_back(strLine);
    }
    EXPECT_EQ(nResult, -1);
    EXPECT_TRUE(strLine.empty());
    return vecLines;
}

class TextFileTest : public ::testing::Test {
protected:
    std::string Path(const std::string& strName) const { return m_folder.GetPath() + strName; }

    velkotest::CTempFolder m_folder{"velko_textfile_"};
};

TEST_F(TextFileTest, EveryEncodingReadsBackByItsMark) {
    const std::u16string strText = u"first \u00e9\u20ac\nsecond \U0001F600\n\nlast";
    const std::vector<std::u16string> vecLines = {u"first \u00e9\u20ac", u"second \U0001F600", u"",
                                                  u"last"};
    struct Case {
        int nEncoding;
        std::string strMark;
    };
    for (const Case& c : {Case{TF_ANSI, ""}, Case{TF_UTF16LE, "\xFF\xFE"},
                          Case{TF_UTF16BE, "\xFE\xFF"}, Case{TF_UTF8, "\xEF\xBB\xBF"}}) {
        SCOPED_TRACE(c.nEncoding);
        const std::string strPath = Path("matrix.txt");
        TextFile file;
        ASSERT_EQ(file.Open(strPath, TF_WRITE, c.nEncoding), 0) << LastError();
        ASSERT_EQ(file.WriteString(strText), 0);
        ASSERT_EQ(file.Close(), 0);
        const std::string bytes = ReadFileBytes(strPath);
        EXPECT_EQ(bytes.substr(0, c.strMark.size()), c.strMark);
        int nEncoding = 0;
        EXPECT_EQ(ReadAll(strPath, 0, &nEncoding), vecLines);
        EXPECT_EQ(nEncoding, c.nEncoding);
    }

    // Without a mark: 8-bit text. Valid UTF-8 passes, other bytes are
    // Windows-1252; a lone FF is no mark.
    struct Plain {
        std::string bytes;
        std::u16string strLine;
    };
    for (const Plain& p : {Plain{"caf\xC3\xA9", u"caf\u00e9"}, Plain{"\x80 5", u"\u20ac 5"},
                           Plain{"\xFF", u"\u00ff"}, Plain{"\xEF\xBB", u"\u00ef\u00bb"}}) {
        WriteFileBytes(Path("plain.txt"), p.bytes);
        int nEncoding = 0;
        EXPECT_EQ(ReadAll(Path("plain.txt"), 0, &nEncoding),
                  std::vector<std::u16string>{p.strLine});
        EXPECT_EQ(nEncoding, TF_ANSI);
    }
    WriteFileBytes(Path("empty.txt"), "");
    EXPECT_TRUE(ReadAll(Path("empty.txt")).empty());
}

TEST_F(TextFileTest, LineEndsGiveTheSameLinesWhereverBuffersEnd) {
    // The carriage return inside the second line is the last byte of a
    // 3-byte load; the LF text ends with a line feed, the CR LF one without.
    const std::vector<std::u16string> vecLines = {u"alpha", u"be\rta", u"", u"gamma \u00e9"};
    const std::string strLf = "alpha\nbe\rta\n\ngamma \xC3\xA9\n";
    const std::string strCrLf = "alpha\r\nbe\rta\r\n\r\ngamma \xC3\xA9";
    for (const std::string& strMark : {std::string(), std::string("\xEF\xBB\xBF")}) {
        for (const std::string& strBody : {strLf, strCrLf}) {
            WriteFileBytes(Path("lines.txt"), strMark + strBody);
            for (int nBuffer : {1, 2, 3, 4096}) {
                SCOPED_TRACE(strMark.size() * 1000 + nBuffer);
                EXPECT_EQ(ReadAll(Path("lines.txt"), nBuffer), vecLines);
            }
        }
    }
    // The same in UTF-16: odd buffer sizes are rounded up to whole units,
    // and a lone last byte ends the file.
    for (int nEncoding : {TF_UTF16LE, TF_UTF16BE}) {
        for (const char* pszBody :
             {"alpha\nbe\rta\n\ngamma \u00e9\n", "alpha\r\nbe\rta\r\n\r\ngamma \u00e9"}) {
            TextFile file;
            ASSERT_EQ(file.Open(Path("wide.txt"), TF_WRITE, nEncoding | TF_NO_CRLF), 0);
            ASSERT_EQ(file.WriteString(std::string_view(pszBody)), 0);
            ASSERT_EQ(file.Close(), 0);
            WriteFileBytes(Path("wide.txt"), ReadFileBytes(Path("wide.txt")) + "x");
            for (int nBuffer : {1, 3}) {
                EXPECT_EQ(ReadAll(Path("wide.txt"), nBuffer), vecLines);
            }
        }
    }

    // A carriage return that no line feed follows stays, also at the end.
    WriteFileBytes(Path("lone.txt"), "a\rb\r");
    EXPECT_EQ(ReadAll(Path("lone.txt"), 2), std::vector<std::u16string>{u"a\rb\r"});

    // GetChar skips carriage returns; a UTF-8 file gives whole code points.
    WriteFileBytes(Path("chars.txt"),
                   "\xEF\xBB\xBF"
                   "a\r\n\xF0\x9F\x98\x80\xE2\x82");
    TextFile file;
    ASSERT_EQ(file.Open(Path("chars.txt"), TF_READ, TF_DETECT, 1), 0);
    std::vector<int> vecChars;
    for (int ch = file.GetChar(); ch >= 0; ch = file.GetChar()) {
        vecChars.push_back(ch);
    }
    EXPECT_EQ(vecChars, (std::vector<int>{'a', '\n', 0x1F600, 0xFFFD}));
}

TEST_F(TextFileTest, Utf8SequenceCutShortIsOneReplacement) {
    // Cut by the end of a line, by a byte that cannot continue it, and by
    // the end of the file: one U+FFFD each, read by line or by character,
    // and the byte that cut it is read as itself.
    WriteFileBytes(Path("cut.txt"),
                   "\xEF\xBB\xBF"
                   "a\xE4\xB8\n"
                   "\xF0\x9F\x98"
                   "b\xE4\xB8");
    EXPECT_EQ(ReadAll(Path("cut.txt"), 2),
              (std::vector<std::u16string>{u"a\uFFFD", u"\uFFFDb\uFFFD"}));
    TextFile file;
    ASSERT_EQ(file.Open(Path("cut.txt"), TF_READ, TF_DETECT, 2), 0);
    std::vector<int> vecChars;
    for (int ch = file.GetChar(); ch >= 0; ch = file.GetChar()) {
        vecChars.push_back(ch);
    }
    EXPECT_EQ(vecChars, (std::vector<int>{'a', 0xFFFD, '\n', 0xFFFD, 'b', 0xFFFD}));
}

TEST_F(TextFileTest, Utf16LineFeedsWithAndWithoutTranslation) {
    const std::string strPath = Path("feeds.txt");
    TextFile file;
    ASSERT_EQ(file.Open(strPath, TF_WRITE, TF_UTF16LE), 0);
    ASSERT_EQ(file.Close(), 0);
    EXPECT_EQ(ReadFileBytes(strPath), "");  // no text, no mark

    const std::string strTranslated(
        "\xFF\xFE"
        "a\0\r\0\n\0b\0\r\0\n\0",
        14);
    const std::string strUntranslated(
        "\xFF\xFE"
        "a\0\n\0b\0\n\0",
        10);
    for (const int nFlags : std::initializer_list<int>{TF_UTF16LE, TF_UTF16LE | TF_NO_CRLF}) {
        ASSERT_EQ(file.Open(strPath, TF_WRITE, nFlags), 0);
        ASSERT_EQ(file.WriteString(u"a\nb"), 0);
        ASSERT_EQ(file.PutChar(10), 0);
        ASSERT_EQ(file.Close(), 0);
        EXPECT_EQ(ReadFileBytes(strPath), nFlags == TF_UTF16LE ? strTranslated : strUntranslated);
    }
}

TEST_F(TextFileTest, AppendAndOverwriteModes) {
    const std::string strPath = Path("modes.txt");
    const auto OpenFiles = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator());
    };
    const auto nFilesBefore = OpenFiles();
    {
        TextFile file;
        ASSERT_EQ(file.Open(strPath, TF_APPEND, TF_UTF8), 0);  // empty: the mark is written
        ASSERT_EQ(file.WriteString("one\n"), 0);
        ASSERT_EQ(file.Open(strPath, TF_APPEND, TF_UTF8), 0);  // reopening closes first
        ASSERT_EQ(file.WriteString("two\n"), 0);
    }
    EXPECT_EQ(OpenFiles(), nFilesBefore);
    EXPECT_EQ(ReadFileBytes(strPath),
              "\xEF\xBB\xBF"
              "one\r\ntwo\r\n");

    WriteFileBytes(strPath, "0123456789");
    TextFile file;
    ASSERT_EQ(file.Open(strPath, TF_OVERWRITE, TF_ANSI | TF_NO_CRLF), 0);
    ASSERT_EQ(file.WriteString("ab"), 0);
    ASSERT_EQ(file.Close(), 0);
    EXPECT_EQ(ReadFileBytes(strPath), "ab23456789");
}

TEST_F(TextFileTest, AWrittenFileReplacesTheOldOneWholeOrNotAtAll) {
    namespace fs = std::filesystem;
    const std::string strOld = Path("old.txt");
    const std::string strLink = Path("link.txt");
    WriteFileBytes(strOld, "old text");
    fs::permissions(strOld, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink(strOld, strLink);
    const auto Entries = [this] {
        std::vector<std::string> vecNames;
        for (const auto& entry : fs::directory_iterator(m_folder.GetPath())) {
            vecNames.push_back(entry.path().filename().string());
        }
        std::sort(vecNames.begin(), vecNames.end());
        return vecNames;
    };
    const std::vector<std::string> vecEntries = Entries();

    // Not closed, or failing on the way: the old file stays, and nothing is
    // left beside it.
    {
        TextFile file;
        ASSERT_EQ(file.Open(strLink, TF_WRITE, TF_ANSI), 0);
        ASSERT_EQ(file.WriteString("cut"), 0);
    }
    EXPECT_EQ(ReadFileBytes(strOld), "old text");
    TextFile file;
    ASSERT_EQ(file.Open(strLink, TF_WRITE, TF_ANSI, 4), 0);
    {
        velkotest::CFileSizeLimit full(4);
        EXPECT_EQ(file.WriteString("longer than four bytes"), -2);
        EXPECT_EQ(file.Close(), -2);
    }
    EXPECT_EQ(LastError(), "Error 27 writing file " + strLink + ": File too large");
    EXPECT_EQ(ReadFileBytes(strOld), "old text");
    EXPECT_EQ(Entries(), vecEntries);

    // Written whole: through the link, which stays one, with the old file's
    // permissions.
    ASSERT_EQ(file.Open(strLink, TF_WRITE, TF_ANSI), 0);
    ASSERT_EQ(file.WriteString("new\n"), 0);
    EXPECT_EQ(ReadFileBytes(strOld), "old text");
    ASSERT_EQ(file.Close(), 0);
    EXPECT_EQ(ReadFileBytes(strOld), "new\r\n");
    EXPECT_TRUE(fs::is_symlink(strLink));
    EXPECT_EQ(fs::status(strOld).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(Entries(), vecEntries);
}

// Saved as a user who is not root, whole or nothing, a file keeps what its
// permissions and links meant: a read-only file is refused; a file in a
// folder the user cannot write is saved in place once its text is complete;
// a hard link's other name sees the new text; links stay links, and a
// dangling one's target is made; another user's file stays theirs.
TEST_F(TextFileTest, ASaveKeepsWhatPermissionsAndLinksMeant) {
    const std::string strTheirs = Path("theirs.txt");
    const bool bRoot = ::geteuid() == 0;
    if (bRoot) {
        WriteFileBytes(strTheirs, "their text");
        ::chmod(strTheirs.c_str(), 0666);
    }
    const auto result = velkotest::RunAsPlainUser(m_folder.GetPath(), [&]() -> std::string {
        std::string strFailed;
        const auto Expect = [&](bool bHolds, const std::string& strWhat) {
            if (!bHolds) {
                strFailed += strWhat + "\n";
            }
        };
        const auto Save = [](const std::string& strPath, const std::string& strText) {
            TextFile file;
            if (file.Open(strPath, TF_WRITE, TF_ANSI | TF_NO_CRLF) != 0 ||
                file.WriteString(strText) != 0) {
                return -2;
            }
            return file.Close();
        };
        const auto Stat = [](const std::string& strPath) {
            struct stat st {};
            ::lstat(strPath.c_str(), &st);
            return st;
        };
        const auto Entries = [](const std::string& strFolder) {
            std::vector<std::string> vecNames;
            for (const auto& entry : std::filesystem::directory_iterator(strFolder)) {
                vecNames.push_back(entry.path().filename().string());
            }
            std::sort(vecNames.begin(), vecNames.end());
            return vecNames;
        };

        const std::string strReadOnly = Path("readonly.txt");
        WriteFileBytes(strReadOnly, "kept");
        ::chmod(strReadOnly.c_str(), 0444);
        Expect(Save(strReadOnly, "new") == -2, "a read-only file is saved over");
        Expect(LastError() ==
                   "Cannot open file " + strReadOnly + " for writing (error 13): Permission denied",
               "a read-only file's refusal: " + LastError());
        Expect(ReadFileBytes(strReadOnly) == "kept", "a read-only file changes");

        const std::string strFirst = Path("first.txt");
        const std::string strSecond = Path("second.txt");
        WriteFileBytes(strFirst, "old");
        ::link(strFirst.c_str(), strSecond.c_str());
        Expect(Save(strFirst, "new through the first name") == 0, "a hard link is not saved");
        Expect(ReadFileBytes(strSecond) == "new through the first name",
               "a hard link's other name keeps the old text");
        Expect(Stat(strFirst).st_nlink == 2, "a hard link is split");

        // A link to a link to a file not made yet.
        ::mkdir(Path("sub").c_str(), 0755);
        ::symlink("sub/made.txt", Path("dangling.txt").c_str());
        ::symlink(Path("dangling.txt").c_str(), Path("outer.txt").c_str());
        Expect(Save(Path("outer.txt"), "made") == 0, "a dangling link is not saved");
        Expect(
            S_ISLNK(Stat(Path("outer.txt")).st_mode) && S_ISLNK(Stat(Path("dangling.txt")).st_mode),
            "a dangling link is replaced");
        Expect(ReadFileBytes(Path("sub/made.txt")) == "made",
               "a dangling link's target is not made");

        const std::string strKept = Path("kept.txt");
        WriteFileBytes(strKept, "old");
        ::chmod(strKept.c_str(), 0640);
        ::setxattr(strKept.c_str(), "user.note", "noted", 5, 0);
        Expect(Save(strKept, "new") == 0, "a file with an attribute is not saved");
        char szNote[8] = {};
        Expect(::getxattr(strKept.c_str(), "user.note", szNote, sizeof(szNote)) == 5 &&
                   std::string(szNote) == "noted",
               "a file's extended attribute is lost");
        Expect((Stat(strKept).st_mode & 07777) == 0640, "a file's mode changes");

        // A folder the user cannot write: the file itself is written, and only
        // once all of its text is there; a new file there is refused.
        const std::string strLocked = Path("locked/");
        const std::string strInside = strLocked + "inside.txt";
        ::mkdir(strLocked.c_str(), 0755);
        WriteFileBytes(strInside, "old");
        const ino_t nInode = Stat(strInside).st_ino;
        ::chmod(strLocked.c_str(), 0555);
        {
            TextFile file;
            Expect(file.Open(strInside, TF_WRITE, TF_ANSI, 4) == 0,
                   "a file in a read-only folder cannot be opened: " + LastError());
            Expect(file.WriteString("the new text") == 0, "a write in place fails");
            Expect(ReadFileBytes(strInside) == "old", "a file in place is cut before Close");
            Expect(file.Close() == 0, "a file in place is not saved: " + LastError());
        }
        Expect(ReadFileBytes(strInside) == "the new text", "a file in place has not its new text");
        Expect(Stat(strInside).st_ino == nInode, "a file in place is replaced");
        {
            TextFile file;
            Expect(file.Open(strInside, TF_WRITE, TF_ANSI, 4) == 0 &&
                       file.WriteString("cut short") == 0,
                   "a second write in place fails");
        }
        Expect(ReadFileBytes(strInside) == "the new text", "an unclosed file in place changes");
        {
            TextFile file;
            Expect(file.Open(strInside, TF_WRITE, TF_ANSI, 4) == 0 &&
                       file.WriteString("longer than all that was there") == 0 && file.Flush() == 0,
                   "a third write in place fails");
            // The disk is full for the old file only: the new text is there.
            velkotest::CFileSizeLimit full(8);
            Expect(file.Close() == -2, "a write in place to a full disk succeeds");
            Expect(LastError() == "Error 27 writing file " + strInside + ": File too large",
                   "a write in place to a full disk: " + LastError());
        }
        Expect(ReadFileBytes(strInside) == "the new text", "a failed write in place changes");
        Expect(Entries(strLocked) == std::vector<std::string>{"inside.txt"},
               "a read-only folder's entries change");
        Expect(Save(strLocked + "new.txt", "x") == -2, "a new file in a read-only folder is made");
        ::chmod(strLocked.c_str(), 0755);

        if (::geteuid() != 0 && ::access(strTheirs.c_str(), F_OK) == 0) {
            Expect(Save(strTheirs, "our text") == 0, "another user's file is not saved");
            Expect(ReadFileBytes(strTheirs) == "our text", "another user's file is not written");
            Expect(Stat(strTheirs).st_uid == 0 && (Stat(strTheirs).st_mode & 07777) == 0666,
                   "another user's file changes hands");
        }
        Expect(Entries(m_folder.GetPath()) ==
                       std::vector<std::string>{"dangling.txt", "first.txt", "kept.txt", "locked",
                                                "outer.txt", "readonly.txt", "second.txt", "sub",
                                                "theirs.txt"} ||
                   !bRoot,
               "a save leaves files behind");
        return strFailed;
    });
    if (!result) {
        GTEST_SKIP() << "no user who is not root can be had";
    }
    EXPECT_EQ(*result, "");
}

TEST_F(TextFileTest, SurrogatesAndUnwritableCharacters) {
    const std::string strPath = Path("wide.txt");
    TextFile file;
    ASSERT_EQ(file.Open(strPath, TF_WRITE, TF_UTF8 | TF_NO_CRLF), 0);
    // A pair, U+FFFF, a high surrogate before a letter (the letter stays), a
    // high surrogate at the end.
    const std::u16string strText =
        u"\U0001F600\uFFFF" + std::u16string(1, 0xD800) + u"A\n" + std::u16string(1, 0xDBFF);
    ASSERT_EQ(file.WriteString(strText), 0);
    ASSERT_EQ(file.PutChar(0x1F600), 0);
    ASSERT_EQ(file.Close(), 0);
    EXPECT_EQ(ReadFileBytes(strPath),
              "\xEF\xBB\xBF\xF0\x9F\x98\x80\xEF\xBF\xBF\xEF\xBF\xBD"
              "A\n"
              "\xEF\xBF\xBD\xF0\x9F\x98\x80");
    EXPECT_EQ(ReadAll(strPath),
              (std::vector<std::u16string>{u"\U0001F600\uFFFF\uFFFDA", u"\uFFFD\U0001F600"}));

    ASSERT_EQ(file.Open(strPath, TF_WRITE, TF_UTF16BE), 0);
    ASSERT_EQ(file.PutChar(0x1F600), 0);
    ASSERT_EQ(file.Close(), 0);
    EXPECT_EQ(ReadFileBytes(strPath), std::string("\xFE\xFF\xD8\x3D\xDE\x00", 6));
    EXPECT_EQ(ReadAll(strPath), std::vector<std::u16string>{u"\U0001F600"});

    // An 8-bit file cannot hold an unpaired surrogate: the default character
    // stands for it and the caller is told.
    ASSERT_EQ(file.Open(strPath, TF_WRITE, TF_ANSI), 0);
    file.SetDefaultChar("?");
    bool bUsedDefault = false;
    ASSERT_EQ(file.WriteString(u"\u00e9", &bUsedDefault), 0);
    EXPECT_FALSE(bUsedDefault);
    ASSERT_EQ(file.WriteString(u"x" + std::u16string(1, 0xDC00), &bUsedDefault), 0);
    EXPECT_TRUE(bUsedDefault);
    ASSERT_EQ(file.WriteFormat(nullptr, "%.2f", 1.5), 0);
    ASSERT_EQ(file.Close(), 0);
    EXPECT_EQ(ReadFileBytes(strPath), "\xC3\xA9x?1.50");

    // Narrow lines hand 8-bit bytes back as stored.
    WriteFileBytes(strPath, "caf\xE9\n");
    ASSERT_EQ(file.Open(strPath, TF_READ, TF_ANSI), 0);
    std::string strLine;
    ASSERT_EQ(file.ReadLine(strLine), 0);
    EXPECT_EQ(strLine, "caf\xC3\xA9");
    ASSERT_EQ(file.Open(strPath, TF_READ, TF_ANSI), 0);
    file.SetNarrowLines(true);
    ASSERT_EQ(file.ReadLine(strLine), 0);
    EXPECT_EQ(strLine, "caf\xE9");
}

TEST_F(TextFileTest, FailuresReturnMinusTwoWithTheirTexts) {
    TextFile file;
    std::u16string strLine;
    // A folder opens, but reading it fails: an error, not the end of a file.
    ASSERT_EQ(file.Open(m_folder.GetPath(), TF_READ, TF_ANSI), 0);
    EXPECT_EQ(file.ReadLine(strLine), -2);
    EXPECT_EQ(LastError(), "Error 21 reading file " + m_folder.GetPath() + ": Is a directory");
    EXPECT_EQ(file.Open(m_folder.GetPath(), TF_READ), -2);
    EXPECT_FALSE(file.IsOpen());

    EXPECT_EQ(file.Open(Path("missing.txt"), TF_READ), -2);
    EXPECT_EQ(LastError(), "Cannot open file " + Path("missing.txt") +
                               " for reading (error 2): No such file or directory");
    EXPECT_EQ(file.Open(Path("no/such/folder.txt"), TF_WRITE), -2);
    EXPECT_EQ(LastError(), "Cannot open file " + Path("no/such/folder.txt") +
                               " for writing (error 2): No such file or directory");

    // Buffered text that cannot be written fails when it reaches the file.
    const std::string strFull = "Error 28 writing file /dev/full: No space left on device";
    ASSERT_EQ(file.Open("/dev/full", TF_WRITE, TF_UTF8), 0);
    EXPECT_EQ(file.WriteString("buffered"), 0);
    EXPECT_EQ(file.Flush(), -2);
    EXPECT_EQ(LastError(), strFull);
    SetLastErrorText("");
    EXPECT_EQ(file.Close(), -2);
    EXPECT_EQ(LastError(), strFull);
    ASSERT_EQ(file.Open("/dev/full", TF_APPEND, TF_ANSI, 4), 0);
    EXPECT_EQ(file.WriteString("more than four bytes"), -2);
    file.Close();

    // Reading a file open for writing, and the reverse.
    ASSERT_EQ(file.Open(Path("w.txt"), TF_WRITE), 0);
    EXPECT_EQ(file.ReadLine(strLine), -2);
    ASSERT_EQ(file.Open(Path("w.txt"), TF_READ), 0);
    EXPECT_EQ(file.WriteString("x"), -2);
    EXPECT_EQ(LastError(), "Error 9 writing file " + Path("w.txt") + ": Bad file descriptor");
}

}  // namespace
