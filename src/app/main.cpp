#include "fluidsynth_service.h"
#include "form1.h"
#include "identity.h"
#include "message_box_ui.h"
#include "module1.h"
#include "velune_application.h"

int main(int argc, char** argv) {
    // The synthesizer loads while Qt builds the window; the device check waits for it, so the
    // user still sees either the window or the no-device box, never both.
    velune::FluidSynthService service(velune::SynthConfig{velune::defaultSoundFonts(), true, {}});
    service.prepareInBackground();

    velune::VeluneApplication app(argc, argv);
    velune::applyIdentity();
    velune::requestDetectableAutoRepeat();

    velune::MessageBoxUi ui;
    velune::Module1 midi(service, ui);
    velune::Form1 form1(midi);
    try {
        form1.load();
    } catch (const velune::ProgramEnded& ended) {
        return ended.status;
    }
    form1.showCentered();
    return app.exec();
}
