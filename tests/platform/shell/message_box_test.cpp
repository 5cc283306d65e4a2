#include "platform/shell/message_box.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdlib>

using namespace platform;

namespace {

TEST(MessageBoxDefaults, AnswerTable) {
  struct Case {
    uint32_t type;
    int answer;
  } cases[] = {
      {MB_OK | MB_ICONERROR, IDOK},
      {MB_OKCANCEL, IDOK},
      {MB_YESNO | MB_ICONQUESTION, IDYES},
      {MB_YESNO | MB_DEFBUTTON2, IDNO},
      {MB_YESNOCANCEL | MB_DEFBUTTON3, IDCANCEL},
      {MB_RETRYCANCEL, IDRETRY},
      {MB_RETRYCANCEL | MB_DEFBUTTON2, IDCANCEL},
      {MB_ABORTRETRYIGNORE | MB_DEFBUTTON2, IDRETRY},
      {MB_OK | MB_DEFBUTTON3, IDOK},  // no third button: the first is the default
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    EXPECT_EQ(DefaultAnswer(c.type), c.answer);
  }
}

// Runs under Xvfb (ctest label "display"); without a display the box is not
// shown and answers with its default button.
TEST(MessageBoxDialog, ShowsTextCaptionAndButtonsAndReturnsTheClickedAnswer) {
  if (!DisplayAvailable()) {
    bool shown = true;
    EXPECT_EQ(MessageBox(0, "text", "Error", MB_RETRYCANCEL | MB_DEFBUTTON2, &shown), IDCANCEL);
    EXPECT_FALSE(shown);
    GTEST_SKIP() << "no display: only the no-display answer was checked";
  }
  std::string title, text;
  int buttons = 0;
  SetMessageBoxObserverForTesting([&](void* d) {
    GtkWidget* dialog = static_cast<GtkWidget*>(d);
    title = gtk_window_get_title(GTK_WINDOW(dialog));
    gchar* t = nullptr;
    g_object_get(dialog, "text", &t, nullptr);
    text = t ? t : "";
    g_free(t);
    for (int answer : {IDOK, IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO}) {
      if (gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), answer)) ++buttons;
    }
    gtk_dialog_response(GTK_DIALOG(dialog), IDNO);
  });
  bool shown = false;
  int answer = MessageBox(0, "Are you sure to cancel the process?", "Question", MB_YESNOCANCEL | MB_ICONQUESTION, &shown);
  SetMessageBoxObserverForTesting(nullptr);
  EXPECT_TRUE(shown);
  EXPECT_EQ(answer, IDNO);
  EXPECT_EQ(title, "Question");
  EXPECT_EQ(text, "Are you sure to cancel the process?");
  EXPECT_EQ(buttons, 3);
}

}  // namespace
