#pragma once

// What happens to the sound at the events of a player's day, each on a rig of its own
// (PulseAudio): the sink suspends while the program rests, the sound moves to headphones in the
// middle of a phrase, the server hangs for three seconds. What counts is whether the sound came
// back, how soon the notes after the event sound, and whether they drop out.

#include <optional>
#include <string>
#include <vector>

#include "measurements.h"

namespace velune::bench {

enum class Event { Suspend, Switch, Hang };
inline constexpr Event kAllEvents[] = {Event::Suspend, Event::Switch, Event::Hang};
// "suspend", "switch", "hang".
const char* nameOf(Event event);
// The sink an event happens on.
rig::SinkKind sinkFor(Event event);

struct EventFigures {
    std::string subject;
    Event event = Event::Suspend;
    bool happened = false;  // the sink suspended, the stream moved, the server stopped
    // The notes after the event (for a switch, those of the phrase it happens in the middle of):
    // their key to sound, dropouts and the buffer in force.
    PlayingFigures after;
    int played = 0;                 // notes played after the event
    int heard = 0;                  // of them, the notes heard (for a switch: on the new sink)
    std::optional<double> firstMs;  // key to sound of the first note after the event
    std::vector<double> afterMs;    // key to sound of every note after it that was timed
    std::vector<std::string> problems;
};

EventFigures measureEvent(rig::Rig& rig, const Subject& subject, Event event);

}  // namespace velune::bench
