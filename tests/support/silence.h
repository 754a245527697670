#pragma once

// A render source that is always silent: for the audio room's tests that need one to render.

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "audio_core/render_source.h"

namespace velune::testing {

struct Silence : RenderSource {
    void render(float* data, std::size_t frames) override {
        std::fill(data, data + frames * 2, 0.0f);
    }
    void play(std::uint32_t) override {}
    void setRate(unsigned) override {}
};

}  // namespace velune::testing
