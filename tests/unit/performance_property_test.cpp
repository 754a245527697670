// Random key streams against a model of the synthesizer's voices: whatever a player mashes,
// exactly one note may sound, every note on follows the note off of the note before it, and
// the shut-down note off leaves silence.

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <sstream>

#include "keyboard_performance.h"
#include "recording_midi.h"

namespace velune {
namespace {

// Keeps the notes a General MIDI synthesizer would be sounding, and the first broken rule.
struct VoiceModel : MidiService {
    std::set<int> sounding;
    std::string fault;
    std::uint32_t handle = 0;

    std::int32_t queryDefaultOutput() override { return 0; }
    std::int32_t open(std::uint32_t& h, std::int32_t) override {
        h = handle = 1;
        return 0;
    }
    std::int32_t close(std::uint32_t) override { return 0; }
    void errorText(std::int32_t, char* buffer, std::uint32_t size) override {
        std::snprintf(buffer, size, "error");
    }
    std::int32_t sendShortMessage(std::uint32_t h, std::uint32_t message) override {
        const int status = message & 0xFF, note = (message >> 8) & 0xFF,
                  velocity = (message >> 16) & 0xFF;
        std::ostringstream why;
        if (h != handle) why << "message on a closed port";
        if (status == 0x90) {
            if (note < 36 || note > 95) why << "note " << note << " out of range";
            if (velocity != 100) why << "velocity " << velocity;
            if (!sounding.empty()) why << "note on " << note << " while " << *sounding.begin()
                                       << " still sounds";
            sounding.insert(note);
        } else if (status == 0x80) {
            if (velocity != 0) why << "note off with velocity " << velocity;
            sounding.erase(note);
        } else {
            why << "unexpected status " << status;
        }
        if (fault.empty()) fault = why.str();
        return 0;
    }
};

struct NullView : PerformanceView {
    void setRowColor(int, std::uint32_t) override {}
    void setMarkerLeft(std::int16_t) override {}
    void restoreOpacity() override {}
};

constexpr std::int16_t kNoteKeys[] = {vk::kM, vk::kComma, vk::kPeriod, vk::kJ, vk::kK, vk::kL,
                                      vk::kU, 97, 98, 99, 100, 101, 102, 103};
constexpr std::int16_t kRegisterKeys[] = {vk::kD, vk::kE, vk::kF, vk::kS};
constexpr std::int16_t kOtherKeys[] = {vk::kSpace, vk::kNumpad0, vk::kF1, vk::kReturn,
                                       vk::kTab, 'A', 'Q', '1', 104, 37};

// Runs one seeded stream; returns a description of the first fault, or "".
std::string runStream(unsigned seed, int events) {
    VoiceModel synth;
    testing::RecordingUi ui;
    Module1 midi(synth, ui);
    NullView view;
    KeyboardPerformance play(midi, view);
    midi.OpenMidiOut(kMidiMapper);
    play.reset();

    std::mt19937 random(seed);
    auto pick = [&](auto& keys) {
        return keys[std::uniform_int_distribution<std::size_t>(0, std::size(keys) - 1)(random)];
    };
    std::uniform_int_distribution<int> kind(0, 99);
    std::set<std::int16_t> down;
    try {
        for (int i = 0; i < events; ++i) {
            const int k = kind(random);
            std::int16_t key = k < 45 ? pick(kNoteKeys) : k < 75 ? pick(kRegisterKeys)
                                                                 : pick(kOtherKeys);
            const std::int16_t shift = static_cast<std::int16_t>(random() % 8);
            if (k % 5 == 0 && !down.empty()) {
                key = *down.begin();  // auto-repeat of a held key: presses only
                play.keyDown(key, shift);
            } else if (k % 7 == 0) {
                play.keyUp(key, shift);  // a release whose press went elsewhere
            } else if (down.contains(key) || k % 11 == 0) {
                play.keyUp(key, shift);
                down.erase(key);
            } else {
                play.keyDown(key, shift);
                if (k % 13 != 0) down.insert(key);  // else: its release goes elsewhere
            }
            if (!synth.fault.empty()) return "event " + std::to_string(i) + ": " + synth.fault;
            const std::int16_t shiftNow = play.octaveShift();
            if (shiftNow % 12 != 0 || shiftNow < -24 || shiftNow > 24) {
                return "event " + std::to_string(i) + ": octaveShift " + std::to_string(shiftNow);
            }
            if (synth.sounding.size() > 1) return "more than one note sounds";
        }
        play.silence();
        midi.CloseMidiOut();
    } catch (const std::exception& error) {
        return std::string("exception: ") + error.what();
    }
    if (!synth.sounding.empty()) return "a note still sounds after shut-down";
    if (!ui.boxes.empty()) return "an error box: " + ui.boxes.front();
    return synth.fault;
}

TEST(PerformanceProperty, RandomKeyStreamsNeverHangOrStackNotes) {
    constexpr int kStreams = 100;
    constexpr int kEvents = 1500;  // 150,000 events in all
    for (unsigned seed = 1; seed <= kStreams; ++seed) {
        const std::string fault = runStream(seed, kEvents);
        ASSERT_EQ(fault, "") << "replay with seed " << seed;
    }
}

}  // namespace
}  // namespace velune
