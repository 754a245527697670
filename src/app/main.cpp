#include <optional>

#include "command_line.h"
#include "fluidsynth_service.h"
#include "form1.h"
#include "identity.h"
#include "message_box_ui.h"
#include "module1.h"
#include "velune_application.h"

int main(int argc, char** argv) {
    const velune::CommandLine commandLine = velune::parseCommandLine(argc, argv);
    if (!commandLine.start) {
        return commandLine.exitStatus;
    }
    velune::MidiRouting routing(commandLine.request);
    if (!routing.recordingError().empty()) {
        return velune::refuseRecording(routing.recordingError());
    }
    // The synthesizer loads while Qt builds the window; the device check waits for it, so the
    // user still sees either the window or the no-device box, never both.
    std::optional<velune::FluidSynthService> synth;
    if (routing.synthNeeded()) {
        synth.emplace(velune::SynthConfig{velune::defaultSoundFonts(), true, {}});
        synth->prepareInBackground();
    }

    velune::VeluneApplication app(argc, argv);
    velune::applyIdentity();
    velune::requestDetectableAutoRepeat();

    velune::MessageBoxUi ui;
    if (routing.portFailed()) {
        ui.showMessage(velune::kMidiOutFailedMessage);
    }
    velune::Module1 midi(routing.service(synth ? &*synth : nullptr), ui);
    velune::Form1 form1(midi);
    try {
        form1.load();
    } catch (const velune::ProgramEnded& ended) {
        return ended.status;
    }
    form1.showCentered();
    return app.exec();
}
