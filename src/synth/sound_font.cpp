#include "synth/sound_font.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "support/diagnostics.h"

namespace velune {
namespace {

constexpr std::uintmax_t kHeaderSize = 12;  // "RIFF", size, "sfbk"
constexpr std::uintmax_t kChunkHeader = 8;  // id, size

std::uint32_t littleEndian32(const unsigned char* bytes) {
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

bool readAt(std::ifstream& in, std::uintmax_t offset, unsigned char (&bytes)[kHeaderSize]) {
    in.clear();
    return in.seekg(static_cast<std::streamoff>(offset)) &&
           in.read(reinterpret_cast<char*>(bytes), sizeof bytes);
}

std::string at(std::uintmax_t offset) { return " at offset " + std::to_string(offset); }

// The LIST chunks after the header, as far as they are whole; their kinds go into `parts`.
std::string chunkProblem(std::ifstream& in, std::uintmax_t size, std::string& parts) {
    unsigned char chunk[kHeaderSize];
    for (std::uintmax_t offset = kHeaderSize; offset < size;) {
        if (!readAt(in, offset, chunk)) {
            return "the part" + at(offset) + " is cut short";
        }
        if (std::memcmp(chunk, "LIST", 4) != 0) {
            return "the part" + at(offset) + " is not a LIST chunk";
        }
        const std::uintmax_t length = littleEndian32(chunk + 4);
        if (offset + kChunkHeader + length > size) {
            return "the part" + at(offset) + " claims " + std::to_string(length) +
                   " bytes, past the end of the file";
        }
        parts.append(reinterpret_cast<const char*>(chunk + 8), 4);
        offset += kChunkHeader + length + (length & 1);  // an odd chunk is followed by a pad byte
    }
    return {};
}

}  // namespace

std::vector<std::string> defaultSoundFonts() {
    if (const char* chosen = std::getenv("VELUNE_SOUNDFONT"); chosen != nullptr && *chosen) {
        return {chosen};
    }
    return {
        "/usr/share/sounds/sf2/default-GM.sf2",     // Debian, Ubuntu
        "/usr/share/sounds/sf2/FluidR3_GM.sf2",     // Debian, Ubuntu
        "/usr/share/soundfonts/default.sf2",        // Arch, Fedora
        "/usr/share/soundfonts/FluidR3_GM.sf2",     // Arch, Fedora
        "/usr/share/soundfonts/FluidR3_GM2-2.sf2",  // Fedora
        "/usr/share/sounds/sf2/TimGM6mb.sf2",       // Debian, small
        "/usr/share/sounds/sf2/GeneralUser-GS.sf2",
    };
}

std::string findSoundFont(const std::vector<std::string>& candidates) {
    std::string looked;
    for (const auto& candidate : candidates) {
        std::error_code error;
        if (std::filesystem::is_regular_file(candidate, error)) {
            logMessage(LogArea::SoundFont, LogLevel::Info, "using " + candidate);
            return candidate;
        }
        looked += (looked.empty() ? "" : ", ") + candidate;
    }
    logMessage(LogArea::SoundFont, LogLevel::Warning,
               "no SoundFont file found; looked for: " + (looked.empty() ? "nothing" : looked) +
                   " (VELUNE_SOUNDFONT names another)");
    return {};
}

std::string soundFontProblem(const std::string& path) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error) {
        return "cannot read its size: " + error.message();
    }
    std::ifstream in(path, std::ios::binary);
    unsigned char header[kHeaderSize];
    if (!readAt(in, 0, header)) {
        return "the file has " + std::to_string(size) + " bytes, less than a RIFF header";
    }
    if (std::memcmp(header, "RIFF", 4) != 0 || std::memcmp(header + 8, "sfbk", 4) != 0) {
        return "no RIFF sfbk header" + at(0);
    }
    if (const std::uintmax_t riff = littleEndian32(header + 4); riff + kChunkHeader != size) {
        return "the RIFF header" + at(4) + " gives " + std::to_string(riff + kChunkHeader) +
               " bytes, the file has " + std::to_string(size);
    }
    std::string parts;
    if (std::string problem = chunkProblem(in, size, parts); !problem.empty()) {
        return problem;
    }
    if (parts != "INFOsdtapdta") {
        return "its parts are \"" + parts + "\" instead of INFO, sdta, pdta";
    }
    return {};
}

}  // namespace velune
