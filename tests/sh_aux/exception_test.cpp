#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"
#include "sh_aux/notifier.h"
#include "support/recordingnotifier.h"

namespace {

TEST(CustomException, ThrowErrorPrefixesMessage) {
    try {
        CCustomException().ThrowError("Error al enviar mensaje");
        FAIL() << "ThrowError returned";
    } catch (const CCustomException& e) {
        std::string text;
        e.GetMessageText(text);
        EXPECT_EQ(text, "Error: Error al enviar mensaje");
        EXPECT_STREQ(e.what(), "Error: Error al enviar mensaje");
    }
}

TEST(LastError, PerThreadAndErrnoPreserved) {
    errno = 0;
    SetLastErrorText("main");
    std::string other;
    std::thread t([&] {
        EXPECT_EQ(GetLastErrorText(), nullptr);
        SetLastErrorTextF("worker %d", 7);
        other = *GetLastErrorText();
    });
    t.join();
    EXPECT_EQ(other, "worker 7");
    ASSERT_NE(GetLastErrorText(), nullptr);
    EXPECT_EQ(*GetLastErrorText(), "main");

    errno = ENOENT;
    SetLastErrorTextId(20003, "/x/y", ENOENT, GetSystemErrorText(ENOENT).c_str());
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(*GetLastErrorText(),
              "Cannot open file /x/y for reading (error 2): No such file or directory");
}

TEST(LastError, FormattingIsCutAtLimit) {
    const std::string big(10000, 'a');
    EXPECT_EQ(FormatTextF("%s", big.c_str()).size(), 8191u);
    const std::string text = GetSystemErrorText(EACCES);
    EXPECT_FALSE(text.empty());
    EXPECT_NE(text.back(), '\n');
}

TEST(Notifier, RecorderKeepsCallsAndDefaultIsRestored) {
    CRecordingNotifier recorder;
    recorder.SetAnswer(NA_NO);
    recorder.SetFileChoice("/tmp/a.obj");
    SetNotifier(&recorder);
    EXPECT_EQ(GetNotifier().MessageBox("Error", "text", NB_YESNO), NA_NO);
    EXPECT_EQ(GetNotifier().ChooseFileToOpen("Open", "*.obj", "/tmp"), "/tmp/a.obj");
    GetNotifier().OutputLine(NP_ERRORS, "line");
    SetNotifier(nullptr);
    EXPECT_NE(&GetNotifier(), &recorder);
    ASSERT_EQ(recorder.GetBoxes().size(), 1u);
    EXPECT_EQ(recorder.GetBoxes()[0].strTitle, "Error");
    ASSERT_EQ(recorder.GetLines().size(), 1u);
    EXPECT_EQ(recorder.GetLines()[0].ePane, NP_ERRORS);
}

}  // namespace
