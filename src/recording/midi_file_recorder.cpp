#include "recording/midi_file_recorder.h"

#include "support/atomic_file.h"
#include "support/diagnostics.h"

namespace velune {

std::unique_ptr<MidiFileRecorder> MidiFileRecorder::start(const std::string& path,
                                                          std::string& error,
                                                          std::chrono::milliseconds savePeriod,
                                                          Clock clock) {
    std::unique_ptr<MidiFileRecorder> recorder(new MidiFileRecorder(path, std::move(clock)));
    recorder->changed_ = true;
    if (!recorder->save(error)) {
        return nullptr;
    }
    recorder->saver_ = std::thread(&MidiFileRecorder::saveEvery, recorder.get(), savePeriod);
    return recorder;
}

MidiFileRecorder::MidiFileRecorder(std::string path, Clock clock)
    : path_(std::move(path)), clock_(std::move(clock)) {}

MidiFileRecorder::~MidiFileRecorder() {
    if (!saver_.joinable()) {
        return;  // never started: the place was not writable
    }
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stop_.notify_all();
    saver_.join();
    saveOrWarn();
}

void MidiFileRecorder::send(std::uint32_t message) {
    const auto now = clock_();
    std::lock_guard lock(mutex_);
    if (!began_) {
        began_ = now;
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now - *began_);
    take_.push_back({elapsed.count(), message});
    changed_ = true;
}

void MidiFileRecorder::flush() { saveOrWarn(); }

void MidiFileRecorder::saveEvery(std::chrono::milliseconds period) {
    std::unique_lock lock(mutex_);
    while (!stop_.wait_for(lock, period, [this] { return stopping_; })) {
        lock.unlock();
        saveOrWarn();
        lock.lock();
    }
}

bool MidiFileRecorder::save(std::string& error) {
    std::lock_guard saving(saving_);
    std::vector<TimedMessage> take;
    {
        std::lock_guard lock(mutex_);
        if (!changed_) {
            return true;
        }
        take = take_;
        changed_ = false;
    }
    if (writeFileAtomically(path_, encodeStandardMidiFile(take), error)) {
        return true;
    }
    std::lock_guard lock(mutex_);
    changed_ = true;  // try again next time
    return false;
}

void MidiFileRecorder::saveOrWarn() {
    std::string error;
    const bool saved = save(error);
    std::lock_guard lock(mutex_);
    // A full disk fails every few seconds: say so when it starts, and when it is over.
    if (!saved && error != lastError_) {
        logMessage(LogArea::Midi, LogLevel::Warning, "recording not saved: " + error);
    } else if (saved && !lastError_.empty()) {
        logMessage(LogArea::Midi, LogLevel::Info, "recording saved again to " + path_);
    }
    lastError_ = error;
}

}  // namespace velune
