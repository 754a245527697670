#include <QApplication>
#include <QLoggingCategory>
#include <cstdlib>
#include <optional>

#include "app/auto_repeat.h"
#include "app/command_line.h"
#include "app/identity.h"
#include "app/log_routing.h"
#include "app/message_box_ui.h"
#include "app/platform_choice.h"
#include "main_window/form1.h"
#include "main_window/overflow_guard.h"
#include "midi/module1.h"
#include "synth/fluidsynth_service.h"

namespace {

Q_LOGGING_CATEGORY(windowLog, "velune.window", QtInfoMsg)

// Before Qt starts and before any other thread runs: nothing reads the environment meanwhile.
void choosePlatform() {
    if (const char* platform =
            velune::platformToRequest(std::getenv("QT_QPA_PLATFORM"),
                                      std::getenv("WAYLAND_DISPLAY"), std::getenv("DISPLAY"))) {
        qputenv("QT_QPA_PLATFORM", platform);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const velune::CommandLine commandLine = velune::parseCommandLine(argc, argv);
    if (!commandLine.start) {
        return commandLine.exitStatus;
    }
    velune::MidiRouting routing(commandLine.request);
    if (!routing.recordingError().empty()) {
        return velune::refuseRecording(routing.recordingError());
    }

    choosePlatform();
    QApplication app(argc, argv);
    velune::routeLogIntoQt();
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
        qCInfo(windowLog) << "Wayland without XWayland: the window's opacity cannot be changed";
    }
    // Qt's platform changes the environment while it starts (DESKTOP_STARTUP_ID); the MIDI port,
    // the loader, FluidSynth and libpulse read it. So they start only now; the synthesizer still
    // loads while the window is built, and the device check waits for it, so the user sees
    // either the window or the no-device box, never both.
    routing.openPort();
    std::optional<velune::FluidSynthService> synth;
    if (routing.synthNeeded()) {
        synth.emplace(velune::SynthConfig{velune::defaultSoundFonts(), true,
                                          velune::audioFormatFromEnvironment()});
        synth->prepareInBackground();
    }
    velune::applyIdentity();
    velune::requestDetectableAutoRepeat();

    velune::MessageBoxUi ui;
    if (routing.portFailed()) {
        ui.showMessage(velune::kMidiOutFailedMessage);
    }
    velune::Module1 midi(routing.service(synth ? &*synth : nullptr), ui);
    velune::Form1 form1(midi);
    try {
        if (!velune::guarded([&] { form1.load(); })) {
            return 6;
        }
    } catch (const velune::ProgramEnded& ended) {
        return ended.status;
    }
    form1.showCentered();
    return app.exec();
}
