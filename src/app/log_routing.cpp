#include "app/log_routing.h"

#include <QLoggingCategory>

#include "support/diagnostics.h"

namespace velune {
namespace {

Q_LOGGING_CATEGORY(audioLog, "velune.audio", QtInfoMsg)
Q_LOGGING_CATEGORY(soundFontLog, "velune.soundfont", QtInfoMsg)
Q_LOGGING_CATEGORY(synthLog, "velune.synth", QtInfoMsg)
Q_LOGGING_CATEGORY(midiLog, "velune.midi", QtInfoMsg)

const QLoggingCategory& categoryOf(LogArea area) {
    switch (area) {
        case LogArea::Audio:
            return audioLog();
        case LogArea::SoundFont:
            return soundFontLog();
        case LogArea::Synth:
            return synthLog();
        case LogArea::Midi:
            return midiLog();
    }
    return midiLog();
}

void qtSink(LogArea area, LogLevel level, const std::string& text) {
    const QLoggingCategory& category = categoryOf(area);
    const QString message = QString::fromStdString(text).trimmed();
    switch (level) {
        case LogLevel::Debug:
            qCDebug(category).noquote() << message;
            break;
        case LogLevel::Info:
            qCInfo(category).noquote() << message;
            break;
        case LogLevel::Warning:
            qCWarning(category).noquote() << message;
            break;
    }
}

}  // namespace

void routeLogIntoQt() { setLogSink(qtSink); }

}  // namespace velune
