#pragma once

// Every text of the program's message boxes, in one place. The MIDI service's texts fit the
// 128-byte buffer of its error text with room to spare.

#include <array>

namespace velune {

inline constexpr const char* kNoDeviceMessage = "找不到相关设备！";
// The runtime's box for an overflow, before the program ends.
inline constexpr const char* kOverflowMessage = "实时错误 '6':\n\n溢出";

// The MIDI service's texts, indexed by its result codes (0 is success).
inline constexpr std::array<const char*, 9> kResultTexts{{
    "操作成功。",
    "找不到通用 MIDI 音色库（SoundFont 文件）。",
    "音色库文件已损坏，或者不是 SoundFont 文件。",
    "无法打开音频输出（PulseAudio 或 ALSA）。",
    "MIDI 输出端口没有打开。",
    "无法创建软件合成器。",
    "合成器无法处理这条 MIDI 消息。",
    "音频输出已断开，请检查音频服务或耳机。",
    "没有这个 MIDI 输出设备。",
}};
inline constexpr const char* kUnknownResultText = "未知的 MIDI 错误。";
inline constexpr const char* kPortNotOpenText = kResultTexts[4];

// --midi-out asked for a port that cannot be opened; the built-in synthesizer plays on.
inline constexpr const char* kMidiOutFailedMessage = "无法打开 MIDI 输出端口，将只使用内置音源。";

}  // namespace velune
