#include "midi/module1.h"

#include <gtest/gtest.h>

#include "recording_midi.h"
#include "support/checked_int.h"

namespace velune {
namespace {

using testing::RecordingService;
using testing::RecordingUi;
using testing::shortMessage;

struct Module1Test : ::testing::Test {
    RecordingService service;
    RecordingUi ui;
    Module1 midi{service, ui};

    void open() {
        midi.OpenMidiOut(kMidiMapper);
        service.calls.clear();
    }
};

// The word is status + data1 * 256 + data2 * 65536, added, never masked: a channel past 15
// turns a note on into another message, and data1 of 128 overflows before anything is sent.
TEST_F(Module1Test, OverflowThrowsBeforeAnythingIsSent) {
    open();
    midi.NoteOn(16, 60, 100);
    EXPECT_EQ(service.messages, std::vector<std::uint32_t>{shortMessage(0xA0, 60, 100)});
    const std::vector<void (*)(Module1&)> overflowing = {
        [](Module1& m) { m.SendShortMessage(0x90, 128, 0); },
        [](Module1& m) { m.NoteOn(32624, 60, 100); },
        [](Module1& m) { m.SendShortMessage(0x90, -1, -32768); },
    };
    for (auto send : overflowing) {
        service.messages.clear();
        EXPECT_THROW(send(midi), OverflowError);
        EXPECT_TRUE(service.messages.empty());
    }
    service.sendResult = 40000;  // a result outside 16 bits
    EXPECT_THROW(midi.NoteOff(0, 60), OverflowError);
    EXPECT_TRUE(ui.boxes.empty());
}

// Open closes an open port first; a failure shows the service's text and leaves it closed.
TEST_F(Module1Test, OpenAndCloseLeaveAtMostOnePortOpen) {
    midi.CloseMidiOut();
    EXPECT_TRUE(midi.OpenMidiOut(kMidiMapper));
    service.openHandle = 9;
    EXPECT_TRUE(midi.OpenMidiOut(kMidiMapper));
    service.closeResult = 4;
    service.openResult = 3;
    EXPECT_FALSE(midi.OpenMidiOut(kMidiMapper));
    EXPECT_EQ(service.calls, (std::vector<std::string>{"open -1", "close 7", "open -1", "close 9",
                                                       "text 4", "open -1", "text 3"}));
    EXPECT_EQ(midi.hMidiOut(), 0u);
    EXPECT_EQ(ui.boxes.size(), 2u);
}

// The box shows the text up to its NUL; a service that writes nothing leaves 128 spaces.
TEST_F(Module1Test, ErrorBoxShowsTextUpToItsTerminatorOnly) {
    open();
    service.sendResult = 6;
    for (const std::string& text :
         {std::string("合成器无法处理这条 MIDI 消息。"), std::string(127, 'a')}) {
        ui.boxes.clear();
        service.text = text;
        midi.NoteOff(0, 60);
        EXPECT_EQ(ui.boxes, std::vector<std::string>{text});
    }
    struct Silent : RecordingService {
        void errorText(std::int32_t, char*, std::uint32_t) override {}
    } silent;
    silent.sendResult = 6;
    ui.boxes.clear();
    Module1(silent, ui).NoteOff(0, 60);
    EXPECT_EQ(ui.boxes, std::vector<std::string>{std::string(128, ' ')});
}

TEST_F(Module1Test, NoDeviceShowsTheMessageAndEndsWithoutOpening) {
    midi.CheckMidiDevice();
    EXPECT_TRUE(ui.boxes.empty());
    service.queryResult = 1;
    try {
        midi.CheckMidiDevice();
        FAIL() << "the program should have ended";
    } catch (const ProgramEnded& ended) {
        EXPECT_NE(ended.status, 0) << "no device is a failure";
    }
    EXPECT_EQ(ui.boxes, std::vector<std::string>{"找不到相关设备！"});
    EXPECT_EQ(service.calls, (std::vector<std::string>{"query", "query"}));
}

}  // namespace
}  // namespace velune
