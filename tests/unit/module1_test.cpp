#include "module1.h"

#include <gtest/gtest.h>

#include "checked_int.h"
#include "recording_midi.h"

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

struct MessageCase {
    const char* name;
    void (*send)(Module1&);
    std::vector<std::uint32_t> words;
};

TEST_F(Module1Test, PacksEachMessageAsStatusPlusDataBytes) {
    const MessageCase cases[] = {
        {"note on", [](Module1& m) { m.NoteOn(0, 60, 100); }, {shortMessage(0x90, 60, 100)}},
        {"note off has release velocity 0",
         [](Module1& m) { m.NoteOff(0, 60); }, {shortMessage(0x80, 60, 0)}},
        {"control change", [](Module1& m) { m.ControlChange(0, 7, 90); },
         {shortMessage(0xB0, 7, 90)}},
        {"bank select then program change", [](Module1& m) { m.SetInstrument(0, 0, 5); },
         {0xB0, 0x05C0}},
        {"program 127", [](Module1& m) { m.SetInstrument(0, 0, 127); },
         {0xB0, shortMessage(0xC0, 127, 0)}},
        {"channel 16 is added, not masked", [](Module1& m) { m.NoteOn(16, 60, 100); },
         {shortMessage(0xA0, 60, 100)}},
        {"data1 127 is still sent", [](Module1& m) { m.SendShortMessage(0x90, 127, 1); },
         {shortMessage(0x90, 127, 1)}},
    };
    open();
    for (const auto& c : cases) {
        service.messages.clear();
        c.send(midi);
        EXPECT_EQ(service.messages, c.words) << c.name;
    }
    EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(Module1Test, OverflowThrowsBeforeAnythingIsSent) {
    open();
    const std::vector<void (*)(Module1&)> overflowing = {
        [](Module1& m) { m.SendShortMessage(0x90, 128, 0); },
        [](Module1& m) { m.NoteOn(0, 200, 100); },
        [](Module1& m) { m.NoteOn(32624, 60, 100); },
        [](Module1& m) { m.NoteOff(32640, 60); },
        [](Module1& m) { m.SetInstrument(0, 0, 128); },
        [](Module1& m) { m.SendShortMessage(0x90, -1, -32768); },
    };
    for (auto send : overflowing) {
        const auto before = service.messages.size();
        EXPECT_THROW(send(midi), OverflowError);
        // SetInstrument sends its bank select before the program change overflows.
        EXPECT_LE(service.messages.size(), before + 1);
    }
    service.messages.clear();
    EXPECT_THROW(midi.SendShortMessage(0x90, 128, 0), OverflowError);
    EXPECT_TRUE(service.messages.empty());
}

TEST_F(Module1Test, CloseWithNoPortOpenMakesNoCall) {
    midi.CloseMidiOut();
    EXPECT_TRUE(service.calls.empty());
    EXPECT_EQ(midi.hMidiOut(), 0u);
}

TEST_F(Module1Test, OpenClosesAnOpenPortFirst) {
    EXPECT_TRUE(midi.OpenMidiOut(kMidiMapper));
    EXPECT_EQ(midi.hMidiOut(), 7u);
    service.openHandle = 9;
    EXPECT_TRUE(midi.OpenMidiOut(kMidiMapper));
    EXPECT_EQ(service.calls, (std::vector<std::string>{"open -1", "close 7", "open -1"}));
    EXPECT_EQ(midi.hMidiOut(), 9u);
}

TEST_F(Module1Test, FailedOpenReportsAndLeavesThePortClosed) {
    service.openResult = 3;
    service.text = "no audio";
    EXPECT_FALSE(midi.OpenMidiOut(kMidiMapper));
    EXPECT_EQ(midi.hMidiOut(), 0u);
    EXPECT_EQ(ui.boxes, std::vector<std::string>{"no audio"});
}

TEST_F(Module1Test, FailedCloseStillLeavesThePortClosed) {
    open();
    service.closeResult = 4;
    midi.CloseMidiOut();
    EXPECT_EQ(midi.hMidiOut(), 0u);
    EXPECT_EQ(ui.boxes.size(), 1u);
    midi.CloseMidiOut();
    EXPECT_EQ(service.calls, (std::vector<std::string>{"close 7", "text 4"}));
}

TEST_F(Module1Test, SendOnClosedPortReachesServiceAndShowsOneBox) {
    service.text = "port not open";
    midi.NoteOn(0, 60, 100);
    EXPECT_EQ(service.calls, (std::vector<std::string>{"send 0 0x643c90", "text 5"}));
    EXPECT_EQ(ui.boxes, std::vector<std::string>{"port not open"});
}

TEST_F(Module1Test, ErrorBoxShowsTextUpToItsTerminatorOnly) {
    open();
    service.sendResult = 6;
    const std::string cases[] = {"x", "合成器无法处理这条 MIDI 消息。", std::string(127, 'a')};
    for (const auto& text : cases) {
        ui.boxes.clear();
        service.text = text;
        midi.NoteOff(0, 60);
        ASSERT_EQ(ui.boxes.size(), 1u);
        EXPECT_EQ(ui.boxes[0], text);
    }
}

TEST_F(Module1Test, ErrorTextNeverWrittenShowsTheUntouchedBuffer) {
    struct Silent : RecordingService {
        void errorText(std::int32_t, char*, std::uint32_t) override {}
    } silent;
    silent.sendResult = 6;
    Module1 quiet(silent, ui);
    quiet.NoteOff(0, 60);
    EXPECT_EQ(ui.boxes, std::vector<std::string>{std::string(128, ' ')});
}

TEST_F(Module1Test, ResultOutside16BitsIsAnOverflow) {
    open();
    service.sendResult = 40000;
    EXPECT_THROW(midi.NoteOff(0, 60), OverflowError);
    EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(Module1Test, NoDeviceShowsTheMessageAndEndsWithoutOpening) {
    service.queryResult = 1;
    try {
        midi.CheckMidiDevice();
        FAIL() << "the program should have ended";
    } catch (const ProgramEnded& ended) {
        EXPECT_NE(ended.status, 0);
    }
    EXPECT_EQ(ui.boxes, std::vector<std::string>{"找不到相关设备！"});
    EXPECT_EQ(service.calls, std::vector<std::string>{"query"});
}

TEST_F(Module1Test, DeviceFoundReturnsQuietly) {
    midi.CheckMidiDevice();
    EXPECT_TRUE(ui.boxes.empty());
    EXPECT_EQ(service.calls, std::vector<std::string>{"query"});
}

}  // namespace
}  // namespace velune
