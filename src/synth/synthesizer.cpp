#include "synth/synthesizer.h"

#include <fluidsynth.h>

#include <mutex>

#include "support/diagnostics.h"

namespace velune {
namespace {

constexpr int kStatusMask = 0xF0;
constexpr int kChannelMask = 0x0F;
constexpr int kDataMax = 0x7F;
constexpr int kNoteOff = 0x80, kNoteOn = 0x90, kKeyPressure = 0xA0, kControlChange = 0xB0;
constexpr int kProgramChange = 0xC0, kChannelPressure = 0xD0, kPitchBend = 0xE0, kSystem = 0xF0;
// One voice is played at a time, but the notes before it ring on in their release; a stereo
// sample takes two voices. FluidSynth's default of 256 costs start-up time and memory for nothing.
constexpr int kPolyphony = 64;

LogLevel levelOf(int fluidLevel) {
    switch (fluidLevel) {
        case FLUID_PANIC:
        case FLUID_ERR:
        case FLUID_WARN:
            return LogLevel::Warning;
        case FLUID_INFO:
            return LogLevel::Info;
        default:
            return LogLevel::Debug;
    }
}

void forwardFluidLog(int level, const char* message, void*) {
    logMessage(LogArea::Synth, levelOf(level), message != nullptr ? message : "");
}

// FluidSynth's log is process-wide and may speak from the audio thread; the sink copes.
void routeFluidLog() {
    static std::once_flag routed;
    std::call_once(routed, [] {
        for (int level : {FLUID_PANIC, FLUID_ERR, FLUID_WARN, FLUID_INFO, FLUID_DBG}) {
            fluid_set_log_function(level, forwardFluidLog, nullptr);
        }
    });
}

void configureForLivePlaying(fluid_settings_t* settings, unsigned sampleRate) {
    fluid_settings_setnum(settings, "synth.sample-rate", sampleRate);
    // The audio thread plays and renders while the window's thread may load or silence:
    // FluidSynth must lock.
    fluid_settings_setint(settings, "synth.threadsafe-api", 1);
    // Samples load on demand: start-up reads the preset table only, not 140 MB of audio.
    fluid_settings_setint(settings, "synth.dynamic-sample-loading", 1);
    // Everything is rendered in the audio thread, no helper threads.
    fluid_settings_setint(settings, "synth.cpu-cores", 1);
    fluid_settings_setint(settings, "synth.polyphony", kPolyphony);
    // Reverb and chorus stay on: they add to the sound and do not delay a note's onset.
}

}  // namespace

void Synthesizer::Deleter::operator()(fluid_settings_t* settings) const {
    delete_fluid_settings(settings);
}
void Synthesizer::Deleter::operator()(fluid_synth_t* synth) const { delete_fluid_synth(synth); }

std::unique_ptr<Synthesizer> Synthesizer::create(unsigned sampleRate) {
    routeFluidLog();
    std::unique_ptr<Synthesizer> made(new Synthesizer);
    made->settings_.reset(new_fluid_settings());
    if (made->settings_) {
        configureForLivePlaying(made->settings_.get(), sampleRate);
        made->synth_.reset(new_fluid_synth(made->settings_.get()));
    }
    made->rate_ = sampleRate;
    if (!made->synth_) {
        logMessage(LogArea::Synth, LogLevel::Warning, "FluidSynth could not create a synthesizer");
        return nullptr;
    }
    return made;
}

bool Synthesizer::load(const std::string& soundFont, int channel) {
    // No preset is chosen on load: each channel gets its own when it is first used (the drum
    // kit of channel 10 alone is 11 MB of samples).
    if (fluid_synth_sfload(synth(), soundFont.c_str(), 0) == FLUID_FAILED) {
        logMessage(LogArea::SoundFont, LogLevel::Warning,
                   soundFont + ": FluidSynth could not load it");
        return false;
    }
    prepareChannel(channel);
    return true;
}

void Synthesizer::prepareChannel(int channel) {
    if (!preparedChannels_.test(channel)) {
        preparedChannels_.set(channel);
        fluid_synth_program_change(synth(), channel, 0);
    }
}

bool Synthesizer::accept(std::uint32_t message) {
    const int status = message & 0xFF;
    const int data1 = (message >> 8) & 0xFF;
    const int data2 = (message >> 16) & 0xFF;
    if (status < kNoteOff || status >= kSystem) {
        return true;  // running status and system messages have no meaning here
    }
    if (data1 > kDataMax || data2 > kDataMax) {
        return false;
    }
    const int channel = status & kChannelMask;
    if ((status & kStatusMask) == kProgramChange) {
        preparedChannels_.set(channel);
    } else {
        prepareChannel(channel);
    }
    return true;
}

void Synthesizer::play(std::uint32_t message) {
    const int status = message & 0xFF;
    if (status < kNoteOff || status >= kSystem) return;
    apply(status & kStatusMask, status & kChannelMask, (message >> 8) & kDataMax,
          (message >> 16) & kDataMax);
}

// FluidSynth's refusals (a note on a channel without a preset, a note off for a note that is not
// sounding) are no error for a MIDI port, and come too late to tell the sender.
void Synthesizer::apply(int status, int channel, int data1, int data2) {
    switch (status) {
        case kNoteOff:
            fluid_synth_noteoff(synth(), channel, data1);
            break;
        case kNoteOn:
            if (data2 == 0) {
                fluid_synth_noteoff(synth(), channel, data1);
            } else {
                fluid_synth_noteon(synth(), channel, data1, data2);
            }
            break;
        case kKeyPressure:
            fluid_synth_key_pressure(synth(), channel, data1, data2);
            break;
        case kControlChange:
            fluid_synth_cc(synth(), channel, data1, data2);
            break;
        case kProgramChange:
            fluid_synth_program_change(synth(), channel, data1);
            break;
        case kChannelPressure:
            fluid_synth_channel_pressure(synth(), channel, data1);
            break;
        case kPitchBend:
            fluid_synth_pitch_bend(synth(), channel, data1 | (data2 << 7));
            break;
    }
}

void Synthesizer::silenceAll() { fluid_synth_all_sounds_off(synth(), -1); }

void Synthesizer::render(float* left, float* right, int frames) {
    fluid_synth_write_float(synth(), frames, left, 0, 1, right, 0, 1);
}

void Synthesizer::render(float* data, std::size_t frames) {
    fluid_synth_write_float(synth(), static_cast<int>(frames), data, 0, 2, data, 1, 2);
}

void Synthesizer::setRate(unsigned rate) {
    if (rate == rate_) return;
    rate_ = rate;
    // Deprecated in favour of the setting, which only counts when the synthesizer is made; a
    // device of another rate comes while it plays.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    fluid_synth_set_sample_rate(synth(), static_cast<float>(rate));
#pragma GCC diagnostic pop
}

}  // namespace velune
