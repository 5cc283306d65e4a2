#include "platform/shell/message_box.h"

#include <cstdlib>
#include <gtk/gtk.h>
#include <mutex>
#include <vector>

namespace platform {

namespace {

std::function<void(void*)> g_observer;

struct ButtonSet {
  std::vector<std::pair<const char*, int>> buttons;
};

ButtonSet ButtonsFor(uint32_t type) {
  switch (type & 0xF) {
    case MB_OKCANCEL: return {{{"OK", IDOK}, {"Cancel", IDCANCEL}}};
    case MB_ABORTRETRYIGNORE: return {{{"_Abort", IDABORT}, {"_Retry", IDRETRY}, {"_Ignore", IDIGNORE}}};
    case MB_YESNOCANCEL: return {{{"_Yes", IDYES}, {"_No", IDNO}, {"Cancel", IDCANCEL}}};
    case MB_YESNO: return {{{"_Yes", IDYES}, {"_No", IDNO}}};
    case MB_RETRYCANCEL: return {{{"_Retry", IDRETRY}, {"Cancel", IDCANCEL}}};
    default: return {{{"OK", IDOK}}};
  }
}

size_t DefaultIndex(uint32_t type, size_t count) {
  size_t index = (type & MB_DEFBUTTON3) ? 2 : (type & MB_DEFBUTTON2) ? 1 : 0;
  return index < count ? index : 0;
}

// Closing a box with its window button answers like Cancel where the set
// has it, else like its only or default button.
int CloseAnswer(uint32_t type) {
  switch (type & 0xF) {
    case MB_OKCANCEL:
    case MB_YESNOCANCEL:
    case MB_RETRYCANCEL: return IDCANCEL;
    case MB_OK: return IDOK;
    default: return DefaultAnswer(type);
  }
}

GtkMessageType IconFor(uint32_t type) {
  switch (type & 0xF0) {
    case MB_ICONERROR: return GTK_MESSAGE_ERROR;
    case MB_ICONQUESTION: return GTK_MESSAGE_QUESTION;
    case MB_ICONWARNING: return GTK_MESSAGE_WARNING;
    case MB_ICONINFORMATION: return GTK_MESSAGE_INFO;
    default: return GTK_MESSAGE_OTHER;
  }
}

}  // namespace

int DefaultAnswer(uint32_t type) {
  ButtonSet set = ButtonsFor(type);
  return set.buttons[DefaultIndex(type, set.buttons.size())].second;
}

bool DisplayAvailable() {
  static std::once_flag once;
  static bool available = false;
  std::call_once(once, [] {
    const char* x = std::getenv("DISPLAY");
    const char* w = std::getenv("WAYLAND_DISPLAY");
    if ((!x || !*x) && (!w || !*w)) return;
    available = gtk_init_check(nullptr, nullptr);
  });
  return available;
}

void SetMessageBoxObserverForTesting(std::function<void(void*)> observer) { g_observer = std::move(observer); }

int MessageBox(uint32_t /*owner*/, const std::string& text, const std::string& caption, uint32_t type, bool* shown) {
  if (shown) *shown = false;
  if (!DisplayAvailable()) return DefaultAnswer(type);
  GtkWidget* dialog =
      gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, IconFor(type), GTK_BUTTONS_NONE, "%s", text.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), caption.c_str());
  gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
  ButtonSet set = ButtonsFor(type);
  for (const auto& [label, answer] : set.buttons) gtk_dialog_add_button(GTK_DIALOG(dialog), label, answer);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), set.buttons[DefaultIndex(type, set.buttons.size())].second);
  if (g_observer) {
    // The observer runs from the dialog's own loop, once the box is shown.
    g_signal_connect(dialog, "map", G_CALLBACK(+[](GtkWidget* w, gpointer) {
                       g_idle_add(+[](gpointer d) -> gboolean {
                         if (g_observer) g_observer(d);
                         return G_SOURCE_REMOVE;
                       },
                                  w);
                     }),
                     nullptr);
  }
  if (shown) *shown = true;
  int response = gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
  while (gtk_events_pending()) gtk_main_iteration();
  if (response <= 0) return CloseAnswer(type);  // closed by the window manager
  return response;
}

}  // namespace platform
