#pragma once

// Test doubles for the MIDI seam: a service that records every call and answers with
// programmable results, and a user interface that records every box.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "midi/user_interface.h"
#include "synth/midi_service.h"

namespace velune::testing {

struct RecordingService : MidiService {
    std::vector<std::string> calls;        // "query", "open -1", "close 7", "send 7 0x3c90"
    std::vector<std::uint32_t> messages;   // every word sent, in order
    std::int32_t queryResult = 0;
    std::int32_t openResult = 0;
    std::uint32_t openHandle = 7;
    std::int32_t closeResult = 0;
    std::int32_t sendResult = -1;  // -1: 0 for an open handle, 5 for handle 0
    std::string text = "service error";

    std::int32_t queryDefaultOutput() override {
        calls.push_back("query");
        return queryResult;
    }
    std::int32_t open(std::uint32_t& handle, std::int32_t deviceId) override {
        calls.push_back("open " + std::to_string(deviceId));
        if (openResult == 0) handle = openHandle;
        return openResult;
    }
    std::int32_t sendShortMessage(std::uint32_t handle, std::uint32_t message) override {
        char word[16];
        std::snprintf(word, sizeof word, "%#x", message);
        calls.push_back("send " + std::to_string(handle) + " " + word);
        messages.push_back(message);
        if (sendResult >= 0) return sendResult;
        return handle == 0 ? 5 : 0;
    }
    std::int32_t close(std::uint32_t handle) override {
        calls.push_back("close " + std::to_string(handle));
        return closeResult;
    }
    void errorText(std::int32_t code, char* buffer, std::uint32_t size) override {
        calls.push_back("text " + std::to_string(code));
        std::snprintf(buffer, size, "%s", text.c_str());
    }
};

struct RecordingUi : UserInterface {
    std::vector<std::string> boxes;
    void showMessage(const std::string& shown) override { boxes.push_back(shown); }
};

// Packs a short message the way a MIDI port expects it.
constexpr std::uint32_t shortMessage(std::uint32_t status, std::uint32_t data1,
                                     std::uint32_t data2) {
    return status | data1 << 8 | data2 << 16;
}

}  // namespace velune::testing
