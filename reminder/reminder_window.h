// The reminder window and the program's event loop. One implementation per
// desktop toolkit (window_fltk.cc here); everything it places comes from
// window_layout.h. All of it runs on the program's one thread.
#pragma once

#include <cstdint>

#include "platform/text.h"
#include "reminder/window_layout.h"

namespace zefa {

using ReminderCallback = void (*)();

// Builds the window at its first use (hidden, 464 by 188, elements of the
// layout table, the built-in icon), sets the text, fits the window's height
// to it, centres the window on the primary screen and shows it on top of the
// other windows. Returns once the window is shown; does not wait for the
// user. A second call while the window is visible updates it in place.
void ShowReminder(const Text& text);

// Run after "OK" has hidden the window. The window cannot be closed any
// other way: close requests are ignored.
void SetReminderButtonAction(ReminderCallback action);

// Processes window events, running `tick` every `interval_milliseconds`,
// until EndReminderEventLoop is called (at once when it was called before).
void RunReminderEventLoop(int interval_milliseconds, ReminderCallback tick);
void EndReminderEventLoop();

// ---- for the tests: the window as the toolkit sees it ----

struct ReminderWindowState {
  bool exists = false;
  bool visible = false;
  WidgetBox window;  // position on the screen, inner size
  ReminderLayout layout;
  bool has_icon = false;
  Text title;
  Text message;
  int screen_width = 0;
  int screen_height = 0;
};

// Builds the window when it does not exist yet, without showing or fitting it.
void CreateReminderWindow();
ReminderWindowState InspectReminderWindow();

// The measurement ShowReminder fits the message to, at a wrap width.
MeasuredText MeasureReminderText(const Text& text, int message_width);

// Resizes the window as the user's sizing border would.
void ResizeReminderWindow(int inner_width, int inner_height);

// Presses "OK".
void PressReminderButton();

// Asks the window to close, as the window manager's close box would.
void RequestReminderClose();

// Handles the events that are waiting, for up to `seconds`.
void ProcessReminderEvents(double seconds);

}  // namespace zefa
