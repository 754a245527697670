#pragma once

#include "midi/user_interface.h"

namespace velune {

// Modal boxes with OK only, no icon, caption "Velune".
class MessageBoxUi : public UserInterface {
public:
    void showMessage(const std::string& text) override;
};

}  // namespace velune
