#pragma once
// A call's audio as MP3 for the servers that take only that: decoded from its Ogg/Opus file
// (libopusfile) and encoded once (LAME, the listening encoder's), kept until no destination
// still needs it.

#include <filesystem>
#include <string>

namespace quillon::calls {

// MP3 settings of uploaded calls: mono speech.
inline constexpr int kUploadMp3Kbps = 32;
inline constexpr int kUploadMp3Rate = 22050;

// The MP3 of an Ogg/Opus file, or throws std::runtime_error.
std::string opus_file_to_mp3(const std::filesystem::path& opus);

}  // namespace quillon::calls
