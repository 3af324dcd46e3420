#pragma once

// Texture files decoded into images for upload: whatever Qt's image readers
// know (PNG, JPEG, ...) and DirectDraw surfaces (".dds"), which Qt lacks,
// through a reader of our own.

#include <QByteArray>
#include <QImage>
#include <string>

// Decodes the file at strPath (a ".dds" ending, in any letter case, is read
// as a DirectDraw surface). False, *pImage left null, when the file cannot be
// read or decoded.
bool LoadTextureImage(const std::string& strPath, QImage* pImage);

// Decodes the first (largest) level of a DirectDraw surface: DXT1 (with or
// without its transparent colour), DXT3, DXT5, or uncompressed 24- or 32-bit
// pixels given by channel masks. False for anything else, and for a file
// shorter than its header says.
bool DecodeDDS(const QByteArray& data, QImage* pImage);
