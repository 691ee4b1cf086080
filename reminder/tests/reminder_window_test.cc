// The reminder window on a real X display (CTest runs this program under
// xvfb-run). The tests share the one window of the process, as the program
// does, and run in the order written. A screenshot lands in the build
// folder's artifacts.
#include "reminder/reminder_window.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "platform/time.h"
#include "reminder/expiry.h"
#include "reminder/reminder_icon.h"
#include "reminder/reminder_message.h"
#include "reminder/reminder_program.h"
#include "testing/test_dc.h"

namespace zefa {
namespace {

// The edge that ShowReminder adds twice around the measured text.
constexpr int kEdge = 2;

const WChar kLongText[] =
    ZT("Passwords of this domain need at least 12 characters, with upper and lower case letters, "
       "digits and punctuation; they must not contain your name, must not repeat one of your "
       "last ten passwords, and must not appear in the public lists of breached passwords. "
       "Your password expires on Sun, 13 Dec 2026 10:00. Please change it in time: press "
       "CTRL+ALT+DEL and choose 'Change a password'. Mail alice@example.test & co. with "
       "questions.");

class ReminderWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0')
      GTEST_SKIP() << "no X display (CTest runs this program under xvfb-run)";
  }

  // The window as it must be after ShowReminder with this text.
  static void ExpectFittedAndCentred(const Text& text) {
    const ReminderWindowState state = InspectReminderWindow();
    const MeasuredText measured = MeasureReminderText(text, state.layout.message.width);
    EXPECT_TRUE(state.visible);
    EXPECT_EQ(state.message, text);
    EXPECT_EQ(state.window.width, kReminderWindowWidth);
    EXPECT_EQ(state.window.height, measured.bottom + 2 * kEdge + 75);
    EXPECT_EQ(state.window.x, state.screen_width / 2 - state.window.width / 2);
    EXPECT_EQ(state.window.y, state.screen_height / 2 - state.window.height / 2);
    EXPECT_EQ(state.layout.message, (WidgetBox{72, 6, 384, state.window.height - 62}));
    EXPECT_EQ(state.layout.button, (WidgetBox{348, state.window.height - 36, 100, 25}));
  }
};

TEST_F(ReminderWindowTest, BuiltWindowMatchesTheTableBeforeFitting) {
  CreateReminderWindow();
  const ReminderWindowState state = InspectReminderWindow();
  ASSERT_TRUE(state.exists);
  EXPECT_FALSE(state.visible);  // created hidden
  EXPECT_EQ(state.window.width, 464);
  EXPECT_EQ(state.window.height, 188);
  EXPECT_EQ(state.layout.panel, (WidgetBox{0, 3, 464, 141}));
  EXPECT_EQ(state.layout.icon, (WidgetBox{15, 15, 48, 48}));
  EXPECT_EQ(state.layout.message, (WidgetBox{72, 6, 384, 126}));
  EXPECT_EQ(state.layout.button, (WidgetBox{348, 152, 100, 25}));
  EXPECT_TRUE(state.has_icon);
  EXPECT_EQ(state.title, ZT("Clavora"));
}

TEST_F(ReminderWindowTest, HeightFitsOneLineAndALongText) {
  const Text one_line = ZT("Your password expires soon.");
  const MeasuredText line = MeasureReminderText(one_line, 384);
  ASSERT_GT(line.bottom, 5);  // the font has a height
  ShowReminder(one_line);
  ProcessReminderEvents(0.2);
  ExpectFittedAndCentred(one_line);
  const int one_line_height = InspectReminderWindow().window.height;
  EXPECT_LT(one_line_height, 188);

  // The window has no maximum height; a second call updates it in place.
  ShowReminder(kLongText);
  ProcessReminderEvents(0.2);
  ExpectFittedAndCentred(kLongText);
  const MeasuredText wrapped = MeasureReminderText(kLongText, 384);
  EXPECT_LE(wrapped.right, 384);
  EXPECT_GE(wrapped.bottom - 1, 6 * (line.bottom - 1));  // six lines or more
  EXPECT_GT(InspectReminderWindow().window.height, one_line_height + 5 * (line.bottom - 1));
}

TEST_F(ReminderWindowTest, UserResizeGrowsTheMessageAndMovesTheButtonWithTheCorner) {
  ShowReminder(ZT("Resize me."));
  ResizeReminderWindow(640, 400);
  ProcessReminderEvents(0.2);
  const ReminderWindowState state = InspectReminderWindow();
  EXPECT_EQ(state.window.width, 640);
  EXPECT_EQ(state.window.height, 400);
  EXPECT_EQ(state.layout.panel, (WidgetBox{0, 3, 640, 353}));
  EXPECT_EQ(state.layout.icon, (WidgetBox{15, 15, 48, 48}));
  EXPECT_EQ(state.layout.message, (WidgetBox{72, 6, 560, 338}));
  EXPECT_EQ(state.layout.button,
            (WidgetBox{524, 364, 100, 25}));  // 16 from the right, 11 above the bottom
  // The next reminder keeps the user's width and refits the height.
  ShowReminder(ZT("Resized."));
  ProcessReminderEvents(0.1);
  const ReminderWindowState refitted = InspectReminderWindow();
  EXPECT_EQ(refitted.window.width, 640);
  EXPECT_EQ(refitted.layout.message.width, 560);
  EXPECT_EQ(refitted.window.height,
            MeasureReminderText(ZT("Resized."), 560).bottom + 2 * kEdge + 75);
  ResizeReminderWindow(kReminderWindowWidth, kReminderWindowHeight);
}

int presses = 0;
void CountPress() { ++presses; }

TEST_F(ReminderWindowTest, OkHidesTheWindowUntilTheNextReminder) {
  SetReminderButtonAction(CountPress);
  ShowReminder(ZT("Press OK."));
  ProcessReminderEvents(0.1);
  RequestReminderClose();  // ignored: only "OK" dismisses the window
  ProcessReminderEvents(0.2);
  EXPECT_TRUE(InspectReminderWindow().visible);
  EXPECT_EQ(presses, 0);
  PressReminderButton();
  ProcessReminderEvents(0.1);
  EXPECT_EQ(presses, 1);
  EXPECT_FALSE(InspectReminderWindow().visible);
  ShowReminder(ZT("Again."));
  ProcessReminderEvents(0.1);
  EXPECT_TRUE(InspectReminderWindow().visible);
  EXPECT_EQ(InspectReminderWindow().message, ZT("Again."));
  SetReminderButtonAction(nullptr);
}

// Takes the screen's pixels of the window with ImageMagick's import.
TEST_F(ReminderWindowTest, ScreenshotShowsPanelIconAndText) {
  const std::filesystem::path folder = CLAVORA_ARTIFACT_DIR;
  std::filesystem::create_directories(folder);
  const std::filesystem::path shot = folder / "expwarn.png";
  std::filesystem::remove(shot);
  AttributeMap account{{ZT("pwdLastSet"), ZT("2026-11-01 10:00:00")}, {ZT("maxPwdAge"), ZT("42")}};
  ShowReminder(ComposeReminderText(account));
  ProcessReminderEvents(0.5);
  const ReminderWindowState state = InspectReminderWindow();
  const std::string command = "import -window root -crop " + std::to_string(state.window.width) +
                              "x" + std::to_string(state.window.height) + "+" +
                              std::to_string(state.window.x) + "+" +
                              std::to_string(state.window.y) + " +repage '" + shot.string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  std::ifstream in(shot, std::ios::binary);
  const std::vector<uint8_t> png((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
  GreyAlphaImage image;
  ASSERT_TRUE(DecodeGreyAlphaPng(png, image));
  ASSERT_EQ(image.width, state.window.width);
  ASSERT_EQ(image.height, state.window.height);
  auto grey = [&](int x, int y) { return image.pixels[(y * image.width + x) * 2]; };
  EXPECT_EQ(grey(8, 10), 255);                       // the white panel
  EXPECT_LT(grey(15 + 12, 3 + 15 + 40), 128);        // the padlock's body
  EXPECT_LT(grey(4, state.window.height - 4), 255);  // the grey below the panel
  int coloured = 0;                                  // the message's blue text on white
  for (int y = 3 + 6; y < 3 + 6 + 20; ++y)
    for (int x = 72; x < 72 + 384; ++x) coloured += grey(x, y) < 200;
  EXPECT_GT(coloured, 20);
}

// Test mode shows the reminder on the first tick however far the expiry is.
TEST_F(ReminderWindowTest, TestModeShowsTheReminderOnTheFirstTick) {
  REQUIRE_TEST_DC();
  testing::UseTestDc();
  PressReminderButton();  // hidden to begin with
  ReminderState& state = Reminder();
  state.options = ParseReminderCommandLine({ZT("/test"), ZT("alice")});
  state.ticks = 0;
  OnReminderTick();
  ProcessReminderEvents(0.1);
  EXPECT_EQ(AttributeText(state.user_info, ZT("sAMAccountName")), ZT("alice"));
  EXPECT_FALSE(IsReminderDue(state.user_info, platform::LocalNow()));
  EXPECT_TRUE(InspectReminderWindow().visible);
  EXPECT_EQ(InspectReminderWindow().message, AttributeText(state.user_info, ZT("info")));
}

// Runs last: it ends the event loop for good.
TEST_F(ReminderWindowTest, TestModeEndsWhenTheDirectoryCannotBeRead) {
  setenv("CLAVORA_LDAP_URI", "ldapi://%2Fnonexistent%2Fclavora%2Fldapi", 1);
  Reminder().options = ParseReminderCommandLine({ZT("/test"), ZT("alice")});
  OnReminderTick();
  // The loop returns at once instead of waiting a minute for the next tick.
  RunReminderEventLoop(kReminderTickMilliseconds, OnReminderTick);
  unsetenv("CLAVORA_LDAP_URI");
  SUCCEED();
}

}  // namespace
}  // namespace zefa
