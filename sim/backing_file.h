// Persistence of a chip's content in a host file: load once, replace atomically (temp file + rename), or
// patch a range in place where rewriting the whole image per operation would be absurd (flash pages).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class LoadResult { kLoaded, kMissing, kWrongSize, kUnreadable };

// Reads exactly size bytes into out when the file holds exactly that many. out is left untouched otherwise.
LoadResult loadImage(const std::string& path, size_t size, std::vector<uint8_t>& out);
// Writes the image to path.tmp and renames it over path. False (with *error) on failure.
bool replaceImage(const std::string& path, const uint8_t* data, size_t size, std::string* error);
// Overwrites len bytes at offset of an existing file. False (with *error) on failure.
bool patchImage(const std::string& path, size_t offset, const uint8_t* data, size_t len, std::string* error);

}  // namespace sim
