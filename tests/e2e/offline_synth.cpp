#include "offline_synth.h"

#include <iostream>
#include <limits>
#include <stdexcept>

namespace velune::e2e {

OfflineSynth::OfflineSynth()
    : settings_(new_fluid_settings(), delete_fluid_settings), synth_(nullptr, delete_fluid_synth) {
    fluid_settings_setnum(settings_.get(), "synth.sample-rate", rig::kSampleRate);
    synth_.reset(new_fluid_synth(settings_.get()));
    for (const char* soundFont :
         {"/usr/share/sounds/sf2/default-GM.sf2", "/usr/share/sounds/sf2/FluidR3_GM.sf2"}) {
        if (fluid_synth_sfload(synth_.get(), soundFont, 1) != FLUID_FAILED) return;
    }
    throw std::runtime_error("no General MIDI SoundFont");
}

void OfflineSynth::play(double seconds) {
    const auto frames = static_cast<int>(seconds * rig::kSampleRate);
    std::vector<float> left(frames), right(frames);
    fluid_synth_write_float(synth_.get(), frames, left.data(), 0, 1, right.data(), 0, 1);
    for (int i = 0; i < frames; ++i) samples_.push_back(0.5f * (left[i] + right[i]));
}

void OfflineSynth::skip(int frames) {
    std::vector<float> left(frames), right(frames);
    fluid_synth_write_float(synth_.get(), frames, left.data(), 0, 1, right.data(), 0, 1);
}

std::vector<float> renderNote(int program, int note, double seconds) {
    OfflineSynth synth;
    synth.program(program);
    synth.play(0.05);
    synth.noteOn(note);
    synth.play(seconds);
    return synth.samples();
}

int nearestProgram(const rig::Timbre& timbre, const std::vector<int>& programs) {
    int nearest = -1;
    double nearestDistance = std::numeric_limits<double>::max();
    for (int program : programs) {
        const std::vector<float> sound = renderNote(program, 60, 0.55);
        const std::span<const float> settled =
            std::span(sound).subspan(rig::kSampleRate / 5, rig::kSampleRate * 3 / 10);
        const double distance = rig::timbreDistance(timbre, rig::timbreOf(settled));
        std::cout << "program " << program << ": " << distance << " away\n";
        if (distance < nearestDistance) nearestDistance = distance, nearest = program;
    }
    return nearest;
}

}  // namespace velune::e2e
