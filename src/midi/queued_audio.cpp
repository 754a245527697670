#include "queued_audio.h"

#include <algorithm>

namespace velune {

QueuedAudio::QueuedAudio(std::size_t capacity)
    : ring_(capacity * kChannels, 0.0f), capacity_(capacity) {}

void QueuedAudio::requested(TimePoint now, std::size_t target) {
    request_ = now;
    target_ = target;
}

void QueuedAudio::written(std::span<const float> samples) {
    const std::size_t frames = samples.size() / kChannels;
    for (std::size_t frame = 0; frame < frames; ++frame) {
        std::copy_n(&samples[frame * kChannels], kChannels, &ring_[end_ * kChannels]);
        end_ = (end_ + 1) % capacity_;
    }
    remembered_ = std::min(remembered_ + frames, capacity_);
}

void QueuedAudio::dropped() {
    remembered_ = 0;
    target_ = 0;
}

std::size_t QueuedAudio::replaceable(TimePoint now, unsigned rate, std::size_t ahead) const {
    const double taken = std::chrono::duration<double>(now - request_).count() * rate;
    const double queued = static_cast<double>(target_) - std::max(taken, 0.0);
    const double free = queued - static_cast<double>(ahead);
    const std::size_t frames = free > 0 ? std::min(static_cast<std::size_t>(free), remembered_) : 0;
    return frames < kFadeFrames ? 0 : frames;
}

void QueuedAudio::replace(std::span<float> fresh) {
    const std::size_t frames = std::min(fresh.size() / kChannels, remembered_);
    for (std::size_t frame = 0; frame < std::min(frames, kFadeFrames); ++frame) {
        const float weight = static_cast<float>(frame + 1) / (kFadeFrames + 1);
        for (std::size_t channel = 0; channel < kChannels; ++channel) {
            float& sample = fresh[frame * kChannels + channel];
            sample = weight * sample + (1 - weight) * at(frames - frame, channel);
        }
    }
    end_ = (end_ + capacity_ - frames) % capacity_;
    remembered_ -= frames;
    written(fresh.first(frames * kChannels));
}

float& QueuedAudio::at(std::size_t framesBack, std::size_t channel) {
    return ring_[((end_ + capacity_ - framesBack) % capacity_) * kChannels + channel];
}

}  // namespace velune
