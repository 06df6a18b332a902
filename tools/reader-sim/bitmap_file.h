// Reading a card holder's picture from a BMP file for a card file's photo.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace talvex::sim {

// The size of a card photo.
inline constexpr int kPhotoWidth = 102;
inline constexpr int kPhotoHeight = 126;

// Loads an uncompressed 24- or 32-bit BMP (bottom-up or top-down) and scales
// it to width x height by averaging, into RGB rows from the top. False with
// *why set when the file is missing, truncated or of another kind.
bool LoadBitmapScaled(const std::string& path, int width, int height,
                      std::vector<std::uint8_t>* rgbTopDown, std::string* why);

// The same from bytes in memory.
bool DecodeBitmapScaled(const std::vector<std::uint8_t>& file, int width, int height,
                        std::vector<std::uint8_t>* rgbTopDown, std::string* why);

}  // namespace talvex::sim
