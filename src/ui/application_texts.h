// The application's own words: its title, which is also the caption of its
// general error report, and the report of an exception that carries no text.
// Both windows show them; the main window's catalog (app/texts.h) includes
// them with its other texts.
#pragma once

namespace mk27x {

inline constexpr const char* kApplicationTitle = "MK27x-SP";
inline constexpr const char* kUnknownErrorText = "Unknown error.";

}  // namespace mk27x
