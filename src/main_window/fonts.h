#pragma once

namespace velune {

// "宋体" is the Simplified Chinese serif face of the design; on Linux the same role is played
// by the Ming/Song faces Debian ships. Arial resolves to Liberation Sans through fontconfig.
inline constexpr const char* kSongFace = "宋体";
inline constexpr const char* kArialFace = "Arial";

// Maps the design's face names onto installed fonts; safe to call more than once.
void installFontSubstitutes();

}  // namespace velune
