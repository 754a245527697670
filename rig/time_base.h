#pragma once

// When the sink played each sample of the recording, to a fraction of a millisecond.
//
// Each of the recorder's timing answers says when sample 0 was played (see recorder.h). A
// monitor hands on what its sink renders at once, so an answer holds to a few microseconds
// while a program plays; any delay on the server's side (a write index not yet updated, a
// render in several chunks) makes it later, never earlier. So the origin is the lowest answers
// around a moment (their 1st percentile), and the spread of the lowest tenth, plus the slack of
// the sink's timer, is the method's error there. Left out: the first seconds of the recording,
// whose answers can be stale by a few hundred milliseconds, and the time around an idle sink (no
// program playing), which renders seconds ahead and hands samples on before it plays them. A
// sink whose clock drifts against the monotonic one (44.1 and 48 kHz null sinks do, by up to
// 0.17 %) has the drift of its lowest answers taken out first. On
// PipeWire only the answers of the quantum the graph ran at just after the moment count: an
// answer of another quantum places the recording by a different origin.

#include <optional>
#include <vector>

#include "recorder.h"

namespace velune::rig {

struct TimeBase {
    MonotonicTime origin;  // when the sink played sample 0
    double errorMs = 0;    // the spread of the lowest answers and the sink's timer slack

    // The sample played at monotonic time `t`, and the time sample `index` was played.
    double indexAt(MonotonicTime t) const;
    MonotonicTime timeOf(double index) const;
};

// From the answers within five seconds of `around`; nothing when too few are good.
std::optional<TimeBase> timeBaseAround(const std::vector<TimingAnswer>& answers,
                                       MonotonicTime around);

}  // namespace velune::rig
