#pragma once

// The program's identity on the desktop: name, maker and version, the desktop entry it
// belongs to, and the window icon that every window inherits.

#include <QString>

namespace velune {

inline constexpr const char* kApplicationName = "Velune";
inline constexpr const char* kOrganizationName = "Orvanne";
inline constexpr const char* kApplicationVersion = "1.00";
inline constexpr const char* kDesktopFileName = "org.example.velune";
// The 50 x 60 picture compiled into the program.
inline constexpr const char* kIconResource = ":/icons/velune.png";

// Call once, right after the QApplication exists and before any window is created.
void applyIdentity();

}  // namespace velune
