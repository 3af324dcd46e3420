#include "clients/velkoeyedx/sh_dx/meshloader10.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "sh_dx/scenefolder.h"

namespace {

using velkotest::ViewerTest;

// A unit cube: 8 positions shared by faces of 6 different normals.
const char* const kCube =
    "# cube\n"
    "v -1 -1 -1\nv 1 -1 -1\nv 1 1 -1\nv -1 1 -1\n"
    "v -1 -1 1\nv 1 -1 1\nv 1 1 1\nv -1 1 1\n"
    "vn 0 0 -1\nvn 0 0 1\nvn -1 0 0\nvn 1 0 0\nvn 0 -1 0\nvn 0 1 0\n"
    "f 1//1 2//1 3//1\nf 1//1 3//1 4//1\n"
    "f 5//2 7//2 6//2\nf 5//2 8//2 7//2\n"
    "f 1//3 4//3 8//3\nf 1//3 8//3 5//3\n"
    "f 2//4 6//4 7//4\nf 2//4 7//4 3//4\n"
    "f 1//5 5//5 6//5\nf 1//5 6//5 2//5\n"
    "f 4//6 3//6 7//6\nf 4//6 7//6 8//6\n";

// Three triangles of two materials, interleaved; the last one written with
// numbers counted from the ends of the lists.
const char* const kTwoMaterials =
    "mtllib Materials.MTL\n"
    "v 0 0 0\nv 1.5 0 0\nv 1.5 2.25 0\nv 0 2.25 0\n"
    "vt 0 0\nvt 1 0\nvt 1 1\nvt 0.125 1\n"
    "vn 0 0 -1\n"
    "usemtl red\nf 1/1/1 2/2/1 3/3/1\n"
    "usemtl blue\nf 1/1/1 3/3/1 4/4/1\n"
    "usemtl red\nf -4/-4/-1 -2/-2/-1 -1/-1/-1\n"
    "V 9 9 9\n";

const char* const kMaterials =
    "newmtl unused\nKd 0.1 0.1 0.1\n"
    "newmtl red\nKa 0.25 0 0\nKd 1 0 0\nKs 0.5 0.5 0.5\nNs 96.078431\nd 0.5\nillum 2\n"
    "map_Kd Red.PNG\n"
    "newmtl blue\r\nKd 0 0 1\r\nillum 1\r\nTr 0.75\r\nmap_Kd nothere.png\r\n"
    "newmtl ghost\nKd 0 1 0\n";

class MeshLoaderTest : public ViewerTest {};

TEST_F(MeshLoaderTest, CornersAreSharedOnlyWhenAllTheirDataAgree) {
    CMeshLoader10 mesh;
    ASSERT_TRUE(mesh.ParseOBJ(kCube));
    EXPECT_EQ(mesh.GetVertices().size(), 24u);
    ASSERT_EQ(mesh.GetIndices().size(), 36u);
    // The second triangle of the front reuses two corners of the first.
    EXPECT_EQ(mesh.GetIndices()[3], mesh.GetIndices()[0]);
    EXPECT_EQ(mesh.GetIndices()[4], mesh.GetIndices()[2]);
    EXPECT_EQ(mesh.GetNumMaterials(), 1u);
    EXPECT_EQ(mesh.GetMaterial(0).strName, "default");
    mesh.BuildSubsets();
    ASSERT_EQ(mesh.GetAttributeRanges().size(), 1u);
    EXPECT_EQ(mesh.GetSubset(0)->nFaceCount, 12u);
    EXPECT_EQ(mesh.GetSubset(0)->nVertexCount, 24u);

    // A polygon becomes a fan: a quad two triangles, a pentagon three.
    ASSERT_TRUE(
        mesh.ParseOBJ("v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv -1 1 0\n"
                      "f 1 2 3 4\nf 1 2 3 4 5\n"));
    EXPECT_EQ(mesh.GetVertices().size(), 5u);
    EXPECT_EQ(mesh.GetIndices(),
              (std::vector<uint32_t>{0, 1, 2, 0, 2, 3, 0, 1, 2, 0, 2, 3, 0, 3, 4}));
}

TEST_F(MeshLoaderTest, MaterialsGiveOneRangeEachAndTheirFilesAreFoundBesideTheMesh) {
    m_files.Write("models/quad.obj", kTwoMaterials);
    m_files.Write("models/materials.mtl", kMaterials);
    m_files.Write("models/RED.png", "not decoded here");

    CMeshLoader10 mesh;
    ASSERT_TRUE(mesh.Create("models/quad.obj", m_files.Resolver()));
    EXPECT_EQ(mesh.GetMediaFolder(), m_files.Path("models/"));

    // default, red, blue: the file's other materials are not created.
    ASSERT_EQ(mesh.GetNumMaterials(), 3u);
    const CMaterial& red = mesh.GetMaterial(1);
    EXPECT_EQ(red.strName, "red");
    EXPECT_EQ(red.vAmbient, CVector3(0.25f, 0.0f, 0.0f));
    EXPECT_EQ(red.vDiffuse, CVector3(1.0f, 0.0f, 0.0f));
    EXPECT_EQ(red.vSpecular, CVector3(0.5f, 0.5f, 0.5f));
    EXPECT_EQ(red.nShininess, 96);
    EXPECT_EQ(red.fAlpha, 0.5f);
    EXPECT_TRUE(red.bSpecular);
    EXPECT_EQ(red.strTexturePath, m_files.Path("models/RED.png"));
    const CMaterial& blue = mesh.GetMaterial(2);
    EXPECT_EQ(blue.vDiffuse, CVector3(0.0f, 0.0f, 1.0f));
    EXPECT_EQ(blue.vAmbient, CVector3(0.2f, 0.2f, 0.2f));
    EXPECT_FALSE(blue.bSpecular);
    // "Tr" is the transparency: its opacity is 1 - 0.75.
    EXPECT_EQ(blue.fAlpha, 0.25f);
    EXPECT_TRUE(blue.IsTextureMissing());

    // Red's two triangles first, in file order, then blue's; none for default.
    EXPECT_EQ(mesh.GetSubset(0), nullptr);
    ASSERT_NE(mesh.GetSubset(1), nullptr);
    ASSERT_NE(mesh.GetSubset(2), nullptr);
    EXPECT_EQ(mesh.GetSubset(1)->nFaceStart, 0u);
    EXPECT_EQ(mesh.GetSubset(1)->nFaceCount, 2u);
    EXPECT_EQ(mesh.GetSubset(2)->nFaceStart, 2u);
    EXPECT_EQ(mesh.GetSubset(2)->nFaceCount, 1u);
    EXPECT_EQ(mesh.GetTriangleSubsets(), (std::vector<uint32_t>{1, 1, 2}));
    EXPECT_EQ(mesh.GetIndices(), (std::vector<uint32_t>{0, 1, 2, 0, 2, 3, 0, 2, 3}));
    ASSERT_EQ(mesh.GetVertices().size(), 4u);
    EXPECT_EQ(mesh.GetVertices()[3].vPosition, CVector3(0.0f, 2.25f, 0.0f));
    EXPECT_EQ(mesh.GetVertices()[3].fU, 0.125f);
    EXPECT_TRUE(BoxTexts().empty());
}

TEST_F(MeshLoaderTest, NumbersDoNotDependOnTheProcessLocale) {
    CMeshLoader10 inC;
    ASSERT_TRUE(inC.ParseOBJ(kTwoMaterials));
    inC.ParseMTL(kMaterials);

    if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) {
        GTEST_SKIP() << "de_DE.UTF-8 is not installed";
    }
    CMeshLoader10 inGerman;
    const bool bParsed = inGerman.ParseOBJ(kTwoMaterials);
    inGerman.ParseMTL(kMaterials);
    std::setlocale(LC_ALL, "C");

    ASSERT_TRUE(bParsed);
    ASSERT_EQ(inGerman.GetVertices().size(), inC.GetVertices().size());
    EXPECT_EQ(std::memcmp(inGerman.GetVertices().data(), inC.GetVertices().data(),
                          inC.GetVertices().size() * sizeof(CVertex)),
              0);
    EXPECT_EQ(inGerman.GetVertices()[2].vPosition, CVector3(1.5f, 2.25f, 0.0f));
    EXPECT_EQ(inGerman.GetMaterial(1).vAmbient, CVector3(0.25f, 0.0f, 0.0f));
    EXPECT_EQ(inGerman.GetMaterial(2).fAlpha, 0.25f);
}

// The opacity as exporters write it: "d 1" with "Tr 0" is opaque, and the
// last of the two lines counts.
TEST_F(MeshLoaderTest, OpacityComesFromDissolveOrTransparency) {
    CMeshLoader10 mesh;
    ASSERT_TRUE(mesh.ParseOBJ("usemtl a\nusemtl b\nusemtl c\nusemtl d\n"));
    mesh.ParseMTL(
        "newmtl a\nd 1\nTr 0\n"
        "newmtl b\nTr 0\n"
        "newmtl c\nTr 0.25\nd 0.5\n"
        "newmtl d\nd 0.5\nTr 0.125\n");
    EXPECT_EQ(mesh.GetMaterial(1).fAlpha, 1.0f);
    EXPECT_EQ(mesh.GetMaterial(2).fAlpha, 1.0f);
    EXPECT_EQ(mesh.GetMaterial(3).fAlpha, 0.5f);
    EXPECT_EQ(mesh.GetMaterial(4).fAlpha, 0.875f);
}

// The normal of each corner, in the order the faces give them.
std::vector<CVector3> CornerNormals(const CMeshLoader10& mesh) {
    std::vector<CVector3> vecNormals;
    for (uint32_t nIndex : mesh.GetIndices()) {
        vecNormals.push_back(mesh.GetVertices()[nIndex].vNormal);
    }
    return vecNormals;
}

void ExpectNear(const std::vector<CVector3>& vecActual, const std::vector<CVector3>& vecExpected) {
    ASSERT_EQ(vecActual.size(), vecExpected.size());
    for (size_t i = 0; i < vecActual.size(); ++i) {
        EXPECT_LT(Length(vecActual[i] - vecExpected[i]), 1e-5f) << "corner " << i;
    }
}

// OBJ text without its normals: no "vn" lines, corners p/t/n cut to p/t.
std::string WithoutNormals(const std::string& strObj) {
    const std::string strNoNormals = std::regex_replace(strObj, std::regex("vn [^\n]*\n"), "");
    return std::regex_replace(strNoNormals, std::regex("/(-?[0-9]*)/-?[0-9]+"), "/$1");
}

// Two faces meet along the x axis: one in the floor facing up (area 2), one
// in the wall facing the viewer (area 1).
const char* const kCorner = "v 0 0 0\nv 0 0 2\nv 2 0 0\nv 0 1 0\nvn 0 0 -1\n";

TEST_F(MeshLoaderTest, NormalsMissingFromTheFileAreComputedFromTheFaces) {
    const CVector3 up(0.0f, 1.0f, 0.0f);
    const CVector3 front(0.0f, 0.0f, 1.0f);
    // Where the faces meet, their normals weighted by their areas.
    const CVector3 shared = Normalize(up * 2.0f + front);
    const struct {
        const char* pszFaces;
        size_t nVertices;
        std::vector<CVector3> vecNormals;
    } cases[] = {
        // One smoothing group, as without any "s" line.
        {"f 1 2 3\nf 1 3 4\n", 4, {shared, up, shared, shared, shared, front}},
        // Flat faces, and faces of different groups, do not meet.
        {"s off\nf 1 2 3\nf 1 3 4\n", 6, {up, up, up, front, front, front}},
        {"s 1\nf 1 2 3\ns 2\nf 1 3 4\n", 6, {up, up, up, front, front, front}},
        {"f 1 2 3\ns 0\nf 1 3 4\n", 6, {up, up, up, front, front, front}},
        // A corner that gives its normal keeps it, even against the face.
        {"f 1 2 3\nf 1//1 3 4\n", 5, {shared, up, shared, -front, shared, front}},
        // The two sides of one sheet cancel out: each keeps its own.
        {"f 1 3 4\nf 1 4 3\n", 6, {front, front, front, -front, -front, -front}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.pszFaces);
        CMeshLoader10 mesh;
        ASSERT_TRUE(mesh.ParseOBJ(std::string(kCorner) + test.pszFaces));
        EXPECT_EQ(mesh.GetVertices().size(), test.nVertices);
        ExpectNear(CornerNormals(mesh), test.vecNormals);
    }

    // Normals the file gives stay as they are, whatever way the faces turn:
    // the cube's front is wound the other way.
    CMeshLoader10 cube;
    ASSERT_TRUE(cube.ParseOBJ(kCube));
    EXPECT_EQ(cube.GetVertices()[0].vNormal, CVector3(0.0f, 0.0f, -1.0f));

    // The viewer's own meshes, whose faces do not share positions: without
    // their normals they get the same ones back (not the bat, whose faces
    // turn the other way: it is seen from both sides).
    for (const char* pszMesh : {"box.obj", "default.obj", "paquet.obj", "layout5.obj"}) {
        SCOPED_TRACE(pszMesh);
        std::ifstream file(std::string(VELKO_SOURCE_DIR "/clients/velkoeyedx/res/meshes/") +
                           pszMesh);
        const std::string strObj((std::istreambuf_iterator<char>(file)),
                                 std::istreambuf_iterator<char>());
        CMeshLoader10 given;
        CMeshLoader10 computed;
        ASSERT_TRUE(given.ParseOBJ(strObj));
        ASSERT_TRUE(computed.ParseOBJ(WithoutNormals(strObj)));
        ASSERT_GT(given.GetIndices().size(), 0u);
        ExpectNear(CornerNormals(computed), CornerNormals(given));
    }
}

TEST_F(MeshLoaderTest, UnusableMeshesFallBackToTheBox) {
    m_files.Write("res/meshes/box.obj", kCube);
    m_files.Write("far.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 9\n");
    m_files.Write("zero.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 0 1 2\n");
    m_files.Write("behind.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf -4 1 2\n");
    m_files.Write("normal.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nvn 0 0 1\nf 1//1 2//1 3//2\n");
    m_files.Write("nomtl.obj", "mtllib absent.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");

    for (const char* pszName : {"far.obj", "zero.obj", "behind.obj", "normal.obj"}) {
        CMeshLoader10 mesh;
        EXPECT_FALSE(mesh.Create(pszName, m_files.Resolver())) << pszName;
        EXPECT_TRUE(mesh.GetIndices().empty()) << pszName;
        ASSERT_TRUE(LoadMeshFile(mesh, pszName, m_files.Resolver())) << pszName;
        EXPECT_EQ(mesh.GetIndices().size(), 36u) << pszName;
    }
    // A file that is not there gives the box without a word.
    CMeshLoader10 mesh;
    ASSERT_TRUE(LoadMeshFile(mesh, "nowhere.obj", m_files.Resolver()));
    EXPECT_EQ(mesh.GetVertices().size(), 24u);
    EXPECT_TRUE(BoxTexts().empty());

    // A material file that cannot be read fails the whole mesh, reported,
    // and named in the log with its mesh.
    velkotest::CRecordingLog log;
    ASSERT_TRUE(LoadMeshFile(mesh, "nomtl.obj", m_files.Resolver(), &log));
    EXPECT_EQ(mesh.GetIndices().size(), 36u);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"LoadMaterialsFromMTL( strMaterialFilename )"});
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"The material file absent.mtl of the mesh "
                                                    "nomtl.obj cannot be read: a box stands for "
                                                    "the mesh."});

    // Without the box there is nothing to show: reported.
    std::filesystem::remove(m_files.Path("res/meshes/box.obj"));
    EXPECT_FALSE(LoadMeshFile(mesh, "nowhere.obj", m_files.Resolver()));
    EXPECT_EQ(BoxTexts().size(), 2u);
}

// Arbitrary bytes, and lines of OBJ and MTL commands with numbers right and
// wrong, never crash the parser, and whatever it accepts is a consistent mesh.
TEST_F(MeshLoaderTest, ArbitraryInputGivesAConsistentMeshOrNone) {
    std::mt19937 random(12345);
    auto pick = [&random](std::initializer_list<const char*> choices) {
        return std::string(choices.begin()[random() % choices.size()]);
    };
    // Mostly well-formed, so that many inputs reach the mesh builder.
    auto rarely = [&random] { return random() % 40 == 0; };
    auto number = [&] {
        return rarely() ? pick({"x", "1,5", "", "--1"})
                        : pick({"0", "1", "-1", "0.5", "2.25", "-3e2", "1e40", "nan"});
    };
    auto index = [&] {
        return rarely() ? pick({"0", "99", "-99"}) : std::to_string(1 + random() % 3);
    };
    // Texture coordinates and normals are fewer than positions.
    auto corner = [&] {
        const std::string strP = index();
        const std::string strOther = rarely() ? index() : "1";
        switch (random() % 5) {
            case 0:
                return strP;
            case 1:
                return strP + "/" + strOther;
            case 2:
                return strP + "//" + strOther;
            case 3:
                return strP + "/" + strOther + "/" + strOther;
            default:
                return rarely() ? pick({"/", "1/2/3/4", "99999999999999999999", "a"})
                                : "-" + index();
        }
    };
    auto line = [&] {
        switch (random() % 12) {
            case 0:
            case 1:
            case 2:
                return "v " + number() + " " + number() + " " + number();
            case 3:
                return "vt " + number() + " " + number();
            case 4:
                return "vn " + number() + " " + number() + " " + number();
            case 5:
            case 6:
            case 7: {
                std::string strFace = "f";
                for (int n = rarely() ? 2 : 3 + static_cast<int>(random() % 4); n > 0; --n) {
                    strFace += " " + corner();
                }
                return strFace;
            }
            case 8:
                return pick({"usemtl m", "usemtl m1", "newmtl m", "newmtl m1", "mtllib"});
            case 9:
                return pick({"Kd", "Ka", "Ks", "d", "Tr", "Ns", "illum", "map_Kd"}) + " " +
                       number() + " " + number() + " " + number();
            case 10:
                return pick({"#", "g group", "s off", "V 1 2 3", ""});
            default: {
                std::string strBytes;
                for (int n = static_cast<int>(random() % 20); n > 0; --n) {
                    strBytes += static_cast<char>(random() % 256);
                }
                return strBytes;
            }
        }
    };

    int nWithTriangles = 0;
    for (int nRound = 0; nRound < 3000; ++nRound) {
        std::string strText = nRound % 2 ? "v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 1\nvn 0 0 1\n" : "";
        for (int n = static_cast<int>(random() % 30); n > 0; --n) {
            strText += line() + pick({"\n", "\r\n", " "});
        }
        CMeshLoader10 mesh;
        if (mesh.ParseOBJ(strText)) {
            mesh.ParseMTL(strText);
            mesh.BuildSubsets();
        }
        const auto& vecIndices = mesh.GetIndices();
        nWithTriangles += !vecIndices.empty();
        ASSERT_EQ(vecIndices.size() % 3, 0u) << strText;
        ASSERT_EQ(mesh.GetTriangleSubsets().size(), vecIndices.size() / 3) << strText;
        for (uint32_t nIndex : vecIndices) {
            ASSERT_LT(nIndex, mesh.GetVertices().size()) << strText;
        }
        uint32_t nFaces = 0;
        for (const CAttributeRange& range : mesh.GetAttributeRanges()) {
            ASSERT_EQ(range.nFaceStart, nFaces) << strText;
            ASSERT_LT(range.nAttribId, mesh.GetNumMaterials()) << strText;
            nFaces += range.nFaceCount;
        }
        ASSERT_EQ(nFaces, vecIndices.size() / 3) << strText;
    }
    // The input reached the mesh builder, not only the refusals.
    EXPECT_GT(nWithTriangles, 300);
}

}  // namespace
