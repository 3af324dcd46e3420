#include "clients/velkoeyedx/sh_dx/textfileharness.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "sh_dx/scenefolder.h"
#include "support/filebytes.h"

namespace {

// Runs the harness in a fresh current folder; what it prints is kept.
class TextFileHarnessTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_strOldFolder = std::filesystem::current_path().string();
        ASSERT_EQ(::chdir(m_files.Path("").c_str()), 0);
    }
    void TearDown() override { EXPECT_EQ(::chdir(m_strOldFolder.c_str()), 0); }

    int Run(std::string& strPrinted) {
        std::FILE* pOut = std::tmpfile();
        const int nResult = RunTextFileHarness(pOut);
        std::rewind(pOut);
        char buffer[512];
        strPrinted.clear();
        while (std::fgets(buffer, sizeof(buffer), pOut)) {
            strPrinted += buffer;
        }
        std::fclose(pOut);
        return nResult;
    }

    velkotest::CSceneFolder m_files;
    std::string m_strOldFolder;
};

TEST_F(TextFileHarnessTest, ReadsAndCopiesInTheInputsEncoding) {
    // Ten UTF-16 big-endian lines, LF and CR LF ends mixed, the last without.
    std::string strInput = "\xFE\xFF";
    std::string strCopy = "\xFE\xFF";
    for (int i = 0; i < 10; ++i) {
        const std::string strUnits = std::string("\0l\0i\0n\0e\0 ", 10) + '\0' + char('0' + i);
        strInput += strUnits;
        if (i < 9) {
            strInput += i % 2 ? std::string("\0\r\0\n", 4) : std::string("\0\n", 2);
        }
        strCopy += strUnits + std::string("\0\r\0\n", 4);
    }
    m_files.Write(kHarnessInput, strInput);

    std::string strPrinted;
    EXPECT_EQ(Run(strPrinted), 0);
    EXPECT_EQ(strPrinted,
              "Read 10 lines in 1 seconds (10 lines per second)\n"
              "10 lines copied in 1 seconds (10 lines per second)\n");
    EXPECT_EQ(velkotest::ReadFileBytes(kHarnessOutput), strCopy);
}

TEST_F(TextFileHarnessTest, MissingInputPrintsOneErrorLine) {
    std::string strPrinted;
    EXPECT_EQ(Run(strPrinted), 1);
    EXPECT_EQ(
        strPrinted,
        "Cannot open file textfile_in.txt for reading (error 2): No such file or directory\n");
    EXPECT_FALSE(std::filesystem::exists(kHarnessOutput));
}

}  // namespace
