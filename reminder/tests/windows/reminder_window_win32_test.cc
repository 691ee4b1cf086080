// The Win32 reminder window and the WIC icon decoder, run under Wine on a
// virtual X display. One window for the whole program, as in expwarn.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "reminder/reminder_icon.h"
#include "reminder/reminder_window.h"

namespace zefa {
namespace {

TEST(ReminderIconWic, BuiltInIconDecodesToGreyWithAlpha) {
  GreyAlphaImage icon;
  ASSERT_TRUE(DecodeGreyAlphaPng(BuiltInIconPng(), icon));
  EXPECT_EQ(icon.width, kReminderIconSize);
  EXPECT_EQ(icon.height, kReminderIconSize);
  ASSERT_EQ(icon.pixels.size(), size_t{kReminderIconSize} * kReminderIconSize * 2);
  int transparent = 0, opaque = 0;
  for (size_t i = 1; i < icon.pixels.size(); i += 2) {
    transparent += icon.pixels[i] == 0;
    opaque += icon.pixels[i] == 255;
  }
  EXPECT_GT(transparent, 0);  // the corners around the padlock
  EXPECT_GT(opaque, 0);       // the padlock itself
  EXPECT_EQ(icon.pixels[1], 0) << "top-left corner";
}

TEST(ReminderIconWic, DamagedOrForeignDataIsRefused) {
  GreyAlphaImage icon;
  const std::span<const uint8_t> png = BuiltInIconPng();
  EXPECT_FALSE(DecodeGreyAlphaPng(png.first(png.size() / 2), icon));
  EXPECT_TRUE(icon.pixels.empty());
  const uint8_t text[] = "not an image at all";
  EXPECT_FALSE(DecodeGreyAlphaPng(text, icon));
  EXPECT_FALSE(DecodeGreyAlphaPng({}, icon));
}

int presses = 0;
void CountPress() { ++presses; }

// The window keeps its state across these steps, in this order.
TEST(ReminderWindowWin32, BuildShowFitResizeCloseAndPress) {
  // A desktop of the test's own, so that the windows go to this process's
  // display even when the session's desktop was started without one.
  const HWINSTA station = CreateWindowStationW(L"ClavoraReminderTest", 0, GENERIC_ALL, nullptr);
  if (station != nullptr) SetProcessWindowStation(station);
  const HDESK desktop =
      CreateDesktopW(L"ClavoraReminderTest", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  if (desktop != nullptr) SetThreadDesktop(desktop);
  CreateReminderWindow();
  ReminderWindowState state = InspectReminderWindow();
  if (!state.exists) GTEST_SKIP() << "no window can be created: no display for this desktop";
  EXPECT_FALSE(state.visible) << "created hidden";
  EXPECT_EQ(state.window.width, kReminderWindowWidth);
  EXPECT_EQ(state.window.height, kReminderWindowHeight);
  EXPECT_EQ(state.layout.panel, (WidgetBox{0, 3, 464, 141}));
  EXPECT_EQ(state.layout.icon, (WidgetBox{15, 15, 48, 48}));
  EXPECT_EQ(state.layout.message, (WidgetBox{72, 6, 384, 126}));
  EXPECT_EQ(state.layout.button, (WidgetBox{348, 152, 100, 25}));
  EXPECT_TRUE(state.has_icon);
  EXPECT_EQ(state.title, Text(kReminderTitle));

  // A one-line text: measured height + 2 edge heights + 75; & shown as is.
  const Text one_line = ZT("Expires soon & then");
  const MeasuredText measured = MeasureReminderText(one_line, 384);
  EXPECT_GT(measured.bottom, 1);
  ShowReminder(one_line);
  ProcessReminderEvents(0.3);
  state = InspectReminderWindow();
  EXPECT_TRUE(state.visible);
  EXPECT_EQ(state.message, one_line);
  const int one_line_height = state.window.height;
  EXPECT_EQ(one_line_height, measured.bottom + 2 * GetSystemMetrics(SM_CYEDGE) + 75);
  EXPECT_EQ(state.window.width, kReminderWindowWidth);
  EXPECT_EQ(state.layout.button.y, one_line_height - 36);

  // A long text makes the window taller; it is shown again in place.
  Text long_text;
  for (int i = 0; i < 40; ++i) long_text += ZT("The password expires soon. ");
  ShowReminder(long_text);
  ProcessReminderEvents(0.3);
  state = InspectReminderWindow();
  EXPECT_TRUE(state.visible);
  EXPECT_EQ(state.message, long_text);
  EXPECT_GT(state.window.height, one_line_height);

  // The user's sizing border: panel and message grow, the button follows.
  ResizeReminderWindow(600, 400);
  ProcessReminderEvents(0.2);
  state = InspectReminderWindow();
  EXPECT_EQ(state.layout.panel, (WidgetBox{0, 3, 600, 353}));
  EXPECT_EQ(state.layout.message, (WidgetBox{72, 6, 520, 338}));
  EXPECT_EQ(state.layout.button, (WidgetBox{484, 364, 100, 25}));

  // A close request does nothing; "OK" hides the window and runs the action.
  RequestReminderClose();
  ProcessReminderEvents(0.3);
  EXPECT_TRUE(InspectReminderWindow().visible);
  SetReminderButtonAction(CountPress);
  PressReminderButton();
  ProcessReminderEvents(0.2);
  EXPECT_FALSE(InspectReminderWindow().visible);
  EXPECT_EQ(presses, 1);
}

TEST(ReminderWindowWin32, EventLoopRunsTicksUntilEnded) {
  static int ticks = 0;
  RunReminderEventLoop(20, [] {
    if (++ticks == 3) EndReminderEventLoop();
  });
  EXPECT_EQ(ticks, 3);
}

}  // namespace
}  // namespace zefa
