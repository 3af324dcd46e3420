#pragma once

// Texture files decoded into images for upload: whatever Qt's image readers
// know (PNG, JPEG, ...), and through readers of our own DirectDraw surfaces
// (".dds"), which Qt lacks, and TGA files (".tga"), which Qt reads only
// uncompressed and with the footer that many writers leave out.

#include <QByteArray>
#include <QImage>
#include <string>

// Decodes the file at strPath (a ".dds" ending, in any letter case, is read
// as a DirectDraw surface, a ".tga" ending as a TGA file). False, *pImage left null, when the file
// cannot be read or decoded; pFormat, when given, then gets the file's format as far as it can be
// told ("DDS DX10 BC7_UNORM", "TGA image", ...), for the user.
bool LoadTextureImage(const std::string& strPath, QImage* pImage, std::string* pFormat = nullptr);

// Decodes the first (largest) level of a DirectDraw surface: DXT1 (with or
// without its transparent colour), DXT3, DXT5, or uncompressed 16-, 24- or
// 32-bit pixels given by channel masks; the same under the newer DX10 header
// (BC1 to BC3 and 8-bit RGBA, BGRA and BGRX, 5:6:5, 5:5:5:1 and 4:4:4:4, plain,
// typeless or sRGB, the last read as they are, like the others). False for
// anything else, and for a file shorter than its header says.
bool DecodeDDS(const QByteArray& data, QImage* pImage);
// The format of a DirectDraw surface that DecodeDDS refuses, in words.
std::string DescribeDDS(const QByteArray& data);

// Decodes a TGA file, with or without the footer of its second version:
// uncompressed or run-length encoded; true-colour of 15, 16, 24 or 32 bits,
// greyscale of 8 bits (16 with alpha), or colour-mapped by 8- or 16-bit
// indices into a map of 15- to 32-bit colours; rows from the bottom or the
// top, left to right or right to left. Alpha is read where the header gives
// alpha bits; a picture whose alpha is 0 everywhere is opaque. False for
// anything else, for a file shorter than its header says, and for a colour
// index outside the map.
bool DecodeTGA(const QByteArray& data, QImage* pImage);
// The format of a TGA file that DecodeTGA refuses, and why, in words; empty
// for a file it decodes.
std::string DescribeTGA(const QByteArray& data);
