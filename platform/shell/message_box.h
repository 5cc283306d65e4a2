// Message boxes with the Windows button sets, icons and answers, shown as
// GTK dialogs.
//
// Without a display (no DISPLAY/WAYLAND_DISPLAY, or GTK cannot open one)
// nothing is shown: the box counts as answered with its default button and
// `shown` reports false, so the caller can log the text instead.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

// Button sets
constexpr uint32_t MB_OK = 0x0;
constexpr uint32_t MB_OKCANCEL = 0x1;
constexpr uint32_t MB_ABORTRETRYIGNORE = 0x2;
constexpr uint32_t MB_YESNOCANCEL = 0x3;
constexpr uint32_t MB_YESNO = 0x4;
constexpr uint32_t MB_RETRYCANCEL = 0x5;
// Icons
constexpr uint32_t MB_ICONERROR = 0x10;
constexpr uint32_t MB_ICONQUESTION = 0x20;
constexpr uint32_t MB_ICONWARNING = 0x30;
constexpr uint32_t MB_ICONINFORMATION = 0x40;
// Default button
constexpr uint32_t MB_DEFBUTTON2 = 0x100;
constexpr uint32_t MB_DEFBUTTON3 = 0x200;

// Answers
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// The answer a box of `type` gives when its default button is taken.
int DefaultAnswer(uint32_t type);

// Shows a modal box (UTF-8 texts) and returns the answer. `owner` is a
// window handle of ours or 0.
int MessageBox(uint32_t owner, const std::string& text, const std::string& caption, uint32_t type,
               bool* shown = nullptr);

// True when a display can be opened (GTK initialised once on first use).
bool DisplayAvailable();

// Tests only: called with the dialog (a GtkDialog*) once it is on screen;
// the observer may answer it with gtk_dialog_response(dialog, answer).
void SetMessageBoxObserverForTesting(std::function<void(void* dialog)> observer);

}  // namespace platform
