#pragma once

// Keeps what was played as a Standard MIDI File. The take starts with the first message; the
// file is saved whole and atomically every few seconds while something new was played, when
// the port closes and when the recorder ends, so a crash loses at most the last seconds and the
// file's name never holds a half-written file. Saving runs on a thread of its own: playing never
// waits for the disk.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "recording/standard_midi_file.h"
#include "synth/midi_sink.h"

namespace velune {

class MidiFileRecorder : public MidiSink {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    static constexpr std::chrono::milliseconds kSavePeriod{2000};

    // Writes an empty take to `path` at once, so that an unwritable place shows before anything
    // is played. Null, with the reason in `error`, when that fails.
    static std::unique_ptr<MidiFileRecorder> start(
        const std::string& path, std::string& error,
        std::chrono::milliseconds savePeriod = kSavePeriod,
        Clock clock = &std::chrono::steady_clock::now);
    ~MidiFileRecorder() override;

    void send(std::uint32_t message) override;
    void flush() override;

private:
    MidiFileRecorder(std::string path, Clock clock);
    void saveEvery(std::chrono::milliseconds period);
    bool save(std::string& error);
    void saveOrWarn();

    const std::string path_;
    const Clock clock_;
    std::mutex saving_;  // one save at a time, so an older take never replaces a newer one
    std::mutex mutex_;   // guards everything below; taken after saving_
    std::condition_variable stop_;
    std::vector<TimedMessage> take_;
    std::optional<std::chrono::steady_clock::time_point> began_;
    bool changed_ = false;
    bool stopping_ = false;
    std::string lastError_;
    std::thread saver_;
};

}  // namespace velune
