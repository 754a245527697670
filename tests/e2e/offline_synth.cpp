#include "offline_synth.h"

#include "audio_analysis.h"

namespace velune::e2e {
namespace {

constexpr std::uint32_t kNoteOff = 0x80;
constexpr std::uint32_t kNoteOn = 0x90;
constexpr std::uint32_t kProgramChange = 0xC0;

}  // namespace

OfflineSynth::OfflineSynth()
    : service_(SynthConfig{defaultSoundFonts(), false, AudioFormat{kSampleRate, 512, 2}}) {
    ready_ = service_.queryDefaultOutput() == FluidSynthService::kOk &&
             service_.open(handle_, -1) == FluidSynthService::kOk;
}

void OfflineSynth::send(std::uint32_t message) { service_.sendShortMessage(handle_, message); }

void OfflineSynth::program(int program) {
    send(kProgramChange | static_cast<std::uint32_t>(program) << 8);
}

void OfflineSynth::noteOn(int note, int velocity) {
    send(kNoteOn | static_cast<std::uint32_t>(note) << 8 | static_cast<std::uint32_t>(velocity) << 16);
}

void OfflineSynth::noteOff(int note) { send(kNoteOff | static_cast<std::uint32_t>(note) << 8); }

void OfflineSynth::play(double seconds) {
    const auto frames = static_cast<int>(seconds * kSampleRate);
    std::vector<float> left(frames), right(frames);
    service_.render(left.data(), right.data(), frames);
    for (int i = 0; i < frames; ++i) samples_.push_back(0.5f * (left[i] + right[i]));
}

std::vector<float> renderNote(int program, int note, double seconds) {
    OfflineSynth synth;
    synth.program(program);
    synth.play(0.05);
    synth.noteOn(note);
    synth.play(seconds);
    return synth.samples();
}

}  // namespace velune::e2e
