#include "audio_core/queued_audio.h"

#include <algorithm>

namespace velune {

QueuedAudio::QueuedAudio(std::size_t capacity)
    : ring_(capacity * kChannels, 0.0f), capacity_(capacity) {}

std::optional<QueuedAudio::Span> QueuedAudio::replaceable(std::int64_t read, std::size_t margin,
                                                          std::size_t longest) const {
    const std::int64_t from = std::max(read + static_cast<std::int64_t>(margin), oldest_);
    const std::int64_t to = std::min(end_, read + static_cast<std::int64_t>(longest));
    if (to < from + static_cast<std::int64_t>(kFadeFrames)) return std::nullopt;
    return Span{from, to};
}

bool QueuedAudio::beginRewrite(std::int64_t read, std::size_t margin, std::size_t longest) {
    const std::optional<Span> span = replaceable(read, margin, longest);
    if (span) rewrite_ = Rewrite{span->from, span->to, true};
    return span.has_value();
}

std::size_t QueuedAudio::nextRewrite(std::size_t ceiling) const {
    if (!rewrite_) return 0;
    ceiling = std::min(ceiling, rewrite_->first ? kFirstStepFrames : 2 * rewrite_->lastStep);
    return std::min(static_cast<std::size_t>(rewrite_->to - rewrite_->cursor), ceiling);
}

std::int64_t QueuedAudio::rewritten(std::span<float> fresh) {
    Rewrite& rewrite = *rewrite_;
    if (rewrite.first) fadeIn(rewrite.cursor, fresh);
    const std::int64_t seek = rewrite.cursor - end_;
    rewind(rewrite.cursor);
    written(fresh);
    rewrite.cursor = end_;
    rewrite.first = false;
    rewrite.lastStep = fresh.size() / kChannels;
    if (rewrite.cursor >= rewrite.to) rewrite_.reset();
    return seek;
}

void QueuedAudio::written(std::span<const float> samples) {
    const auto frames = static_cast<std::int64_t>(samples.size() / kChannels);
    for (std::int64_t frame = 0; frame < frames; ++frame) {
        std::copy_n(&samples[static_cast<std::size_t>(frame) * kChannels], kChannels,
                    &ring_[slot(end_ + frame)]);
    }
    end_ += frames;
    oldest_ = std::max(oldest_, end_ - static_cast<std::int64_t>(capacity_));
}

void QueuedAudio::rewind(std::int64_t position) { end_ = std::clamp(position, oldest_, end_); }

void QueuedAudio::fadeIn(std::int64_t position, std::span<float> fresh) const {
    const std::size_t frames = std::min(fresh.size() / kChannels, kFadeFrames);
    for (std::size_t frame = 0; frame < frames; ++frame) {
        const std::int64_t old = position + static_cast<std::int64_t>(frame);
        if (old < oldest_ || old >= end_) continue;
        const float weight = static_cast<float>(frame + 1) / (kFadeFrames + 1);
        for (std::size_t channel = 0; channel < kChannels; ++channel) {
            float& sample = fresh[frame * kChannels + channel];
            sample = weight * sample + (1 - weight) * ring_[slot(old) + channel];
        }
    }
}

void QueuedAudio::renumber(std::int64_t by) {
    base_ += by;
    end_ += by;
    oldest_ += by;
}

std::size_t QueuedAudio::slot(std::int64_t frame) const {
    const auto capacity = static_cast<std::int64_t>(capacity_);
    return static_cast<std::size_t>(((frame - base_) % capacity + capacity) % capacity) * kChannels;
}

}  // namespace velune
