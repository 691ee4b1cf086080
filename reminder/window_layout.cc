#include "reminder/window_layout.h"

#include <algorithm>

namespace zefa {

namespace {

constexpr int kPanelTop = 3;
constexpr int kPanelHeightLoss = 47;
constexpr int kIconOffset = 15;
constexpr int kMessageLeft = 72;
constexpr int kMessageTop = 6;
constexpr int kMessageWidthLoss = 80;
constexpr int kMessageHeightLoss = 15;
constexpr int kButtonRightOffset = 116;
constexpr int kButtonBottomOffset = 36;

int NotNegative(int size) { return std::max(size, 0); }

}  // namespace

ReminderLayout LayOutReminder(int inner_width, int inner_height) {
  ReminderLayout layout;
  layout.panel = {0, kPanelTop, NotNegative(inner_width),
                  NotNegative(inner_height - kPanelHeightLoss)};
  layout.icon = {kIconOffset, kIconOffset, kReminderIconSize, kReminderIconSize};
  layout.message = {kMessageLeft, kMessageTop, NotNegative(layout.panel.width - kMessageWidthLoss),
                    NotNegative(layout.panel.height - kMessageHeightLoss)};
  layout.button = {inner_width - kButtonRightOffset, inner_height - kButtonBottomOffset,
                   kReminderButtonWidth, kReminderButtonHeight};
  return layout;
}

WidgetBox FitMessage(const WidgetBox& message, const MeasuredText& measured, int edge_width,
                     int edge_height) {
  return {message.x, message.y, measured.right + 2 * edge_width, measured.bottom + 2 * edge_height};
}

int FittedWindowHeight(const WidgetBox& fitted_message) {
  return fitted_message.height + 3 * kReminderButtonHeight;
}

WidgetBox CentreOnScreen(int screen_width, int screen_height, int window_width, int window_height) {
  return {screen_width / 2 - window_width / 2, screen_height / 2 - window_height / 2, window_width,
          window_height};
}

}  // namespace zefa
