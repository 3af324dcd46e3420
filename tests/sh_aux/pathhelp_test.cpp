#include "sh_aux/pathhelp.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

namespace {

TEST(Paths, SplittingAndJoining) {
    const std::string p = NormalizeSlashes("C:\\models\\ping.velko");
    EXPECT_EQ(p, "C:/models/ping.velko");
    EXPECT_EQ(GetFolder(p), "C:/models/");
    EXPECT_EQ(GetFileName(p), "ping.velko");
    EXPECT_EQ(GetExtension(p), ".velko");
    EXPECT_EQ(RemoveExtension("/a.b/c.tar.gz"), "/a.b/c.tar");
    EXPECT_EQ(GetExtension("/a.b/c"), "");
    EXPECT_EQ(GetFolder("file"), "");
    EXPECT_EQ(JoinPath("/m/", "data/x.img"), "/m/data/x.img");
    EXPECT_EQ(JoinPath("/m", "x"), "/m/x");
    EXPECT_EQ(JoinPath("/m", "/abs"), "/abs");
}

TEST(Paths, LexicalNormalisation) {
    EXPECT_EQ(NormalizePath("/m/lib/../SDLProcessExternal/./p.xml"), "/m/SDLProcessExternal/p.xml");
    EXPECT_EQ(NormalizePath("a//b/"), "a/b/");
    EXPECT_EQ(NormalizePath("../x/../../y"), "../../y");
    EXPECT_EQ(NormalizePath("/.."), "/");
    EXPECT_EQ(NormalizePath("a/.."), ".");
}

TEST(Paths, CaseInsensitiveFallback) {
    const auto root = std::filesystem::temp_directory_path() / "velko_path_test";
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root / "Data");
    std::ofstream(root / "Data" / "Layer.IMG") << "1";
    const std::string base = root.string();
    EXPECT_EQ(ResolvePathNoCase(base + "\\data\\layer.img"), base + "/Data/Layer.IMG");
    EXPECT_EQ(ResolvePathNoCase(base + "/Data/Layer.IMG"), base + "/Data/Layer.IMG");
    EXPECT_EQ(ResolvePathNoCase(base + "/data/missing.img"), base + "/data/missing.img");
    std::filesystem::remove_all(root);
}

TEST(Paths, BlanksAroundComponentsBelongToTheirNames) {
    EXPECT_EQ(NormalizePath("a/ b /./c "), "a/ b /c ");
    EXPECT_EQ(NormalizePath("/m/ lib/../ x/"), "/m/ x/");

    const auto root = std::filesystem::temp_directory_path() /
                      ("velko_path_blanks_" + std::to_string(::getpid()));
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root / " Data ");
    std::ofstream(root / " Data " / "Layer.IMG") << "1";
    const std::string base = root.string();
    EXPECT_EQ(ResolvePathNoCase(base + "\\ data \\layer.img"), base + "/ Data /Layer.IMG");
    std::filesystem::remove_all(root);
}

}  // namespace
