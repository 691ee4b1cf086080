// The reminder window's geometry, independent of the toolkit that draws it:
// the element table, the layout rule applied on every resize, the fitting of
// the window's height to the message, and the centring on the screen. All
// sizes are inner (client) sizes in pixels; element positions are relative
// to their parent.
#pragma once

#include <cstdint>

#include "platform/text.h"

namespace zefa {

struct WidgetBox {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool operator==(const WidgetBox&) const = default;
};

struct ReminderLayout {
  WidgetBox panel;    // in the window
  WidgetBox icon;     // in the panel
  WidgetBox message;  // in the panel
  WidgetBox button;   // in the window
};

inline constexpr int kReminderWindowWidth = 464;
inline constexpr int kReminderWindowHeight = 188;
inline constexpr int kReminderIconSize = 48;
inline constexpr int kReminderButtonWidth = 100;
inline constexpr int kReminderButtonHeight = 25;

inline const WChar* const kReminderTitle = ZT("Clavora");
inline const WChar* const kReminderButtonText = ZT("OK");
inline const char kReminderFontName[] = "Tahoma";
inline constexpr int kReminderFontSize = 12;

struct Rgb {
  uint8_t red, green, blue;
};
inline constexpr Rgb kReminderPanelColour{255, 255, 255};
inline constexpr Rgb kReminderTextColour{0, 128, 192};

// The layout rule for inner size W by H: panel 0,3 W by H-47; icon 15,15
// 48 by 48; message 72,6 (panel width - 80) by (panel height - 15); button
// W-116, H-36, 100 by 25. Sizes that would turn negative in a tiny window
// are 0. At 464 by 188 this is the element table.
ReminderLayout LayOutReminder(int inner_width, int inner_height);

// What the toolkit's text measurement gave for the message, as a rectangle
// that starts at left 1, top 1 and wraps at the message's current width.
struct MeasuredText {
  int right = 0;
  int bottom = 0;
};

// The message's size after measuring: measured right and bottom plus twice
// the system's edge width and height; the position stays.
WidgetBox FitMessage(const WidgetBox& message, const MeasuredText& measured, int edge_width,
                     int edge_height);

// The window's inner height for a fitted message: its height plus three
// button heights.
int FittedWindowHeight(const WidgetBox& fitted_message);

// Top-left position that centres a window of this inner size on a screen:
// each coordinate is screen/2 - window/2 in integer division.
WidgetBox CentreOnScreen(int screen_width, int screen_height, int window_width, int window_height);

}  // namespace zefa
