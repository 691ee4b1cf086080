// The reminder window on FLTK (X11 desktops). Geometry, texts and colours
// come from window_layout.h; this file only maps them onto widgets.
//
// FLTK asks for two small subclasses: the window, to run the layout rule on
// every resize (by the program or by the user), and the message, which draws
// its text exactly as it was measured (wrapping at the same width, with
// "@" and "&" shown as they are).

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/fl_draw.H>
#include <FL/x.H>

#include <chrono>
#include <string>

#include "reminder/reminder_icon.h"
#include "reminder/reminder_window.h"

namespace zefa {

namespace {

constexpr Fl_Font kMessageFont = FL_FREE_FONT;
constexpr int kMinimumWidth = 200;
constexpr int kMinimumHeight = 120;

Fl_Color ToFlColour(const Rgb& rgb) { return fl_rgb_color(rgb.red, rgb.green, rgb.blue); }

// The text area: static text with word wrap on the panel's white.
class MessageText : public Fl_Widget {
 public:
  MessageText(int x, int y, int w, int h) : Fl_Widget(x, y, w, h) {}
  std::string text;

 protected:
  void draw() override {
    draw_box();
    fl_font(kMessageFont, kReminderFontSize);
    fl_color(labelcolor());
    fl_draw(text.c_str(), x() + 1, y() + 1, w() - 1, h() - 1,
            FL_ALIGN_TOP_LEFT | FL_ALIGN_WRAP | FL_ALIGN_INSIDE | FL_ALIGN_CLIP, nullptr, 0);
  }
};

void ApplyLayout(int width, int height);

class ReminderFrame : public Fl_Double_Window {
 public:
  using Fl_Double_Window::Fl_Double_Window;
  void resize(int x, int y, int w, int h) override {
    Fl_Double_Window::resize(x, y, w, h);
    ApplyLayout(w, h);
  }
};

struct ReminderWidgets {
  ReminderFrame* window = nullptr;
  Fl_Group* panel = nullptr;
  Fl_Box* icon = nullptr;
  MessageText* message = nullptr;
  Fl_Button* button = nullptr;
  GreyAlphaImage icon_pixels;
  Fl_RGB_Image* icon_image = nullptr;
  ReminderCallback button_action = nullptr;
  ReminderCallback tick = nullptr;
  double tick_seconds = 60;
  bool quit = false;
};

ReminderWidgets& Widgets() {
  static ReminderWidgets* widgets = new ReminderWidgets;
  return *widgets;
}

void Place(Fl_Widget* widget, const WidgetBox& box, int parent_x, int parent_y) {
  widget->resize(parent_x + box.x, parent_y + box.y, box.width, box.height);
}

void ApplyLayout(int width, int height) {
  ReminderWidgets& w = Widgets();
  if (w.panel == nullptr) return;  // still being built
  const ReminderLayout layout = LayOutReminder(width, height);
  Place(w.panel, layout.panel, 0, 0);
  Place(w.icon, layout.icon, layout.panel.x, layout.panel.y);
  Place(w.message, layout.message, layout.panel.x, layout.panel.y);
  Place(w.button, layout.button, 0, 0);
  w.window->redraw();
}

// Asks the window manager to keep the window above the others (or no longer).
void KeepAbove(Fl_Window* window, bool above) {
  if (!window->shown()) return;
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = fl_xid(window);
  event.xclient.message_type = XInternAtom(fl_display, "_NET_WM_STATE", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = above ? 1 : 0;  // add or remove
  event.xclient.data.l[1] =
      static_cast<long>(XInternAtom(fl_display, "_NET_WM_STATE_ABOVE", False));
  event.xclient.data.l[3] = 1;  // from a normal application
  XSendEvent(fl_display, RootWindow(fl_display, fl_screen), False,
             SubstructureRedirectMask | SubstructureNotifyMask, &event);
  XFlush(fl_display);
}

// Title bar and sizing border, but no close, minimise or maximise box.
void OfferOnlyMoveAndResize(Fl_Window* window) {
  if (!window->shown()) return;
  enum : long { kFunctions = 1, kDecorations = 2 };
  enum : long { kResize = 2, kMove = 4 };
  enum : long { kBorder = 2, kResizeHandles = 4, kTitle = 8 };
  long hints[5] = {kFunctions | kDecorations, kResize | kMove, kBorder | kResizeHandles | kTitle, 0,
                   0};
  const Atom property = XInternAtom(fl_display, "_MOTIF_WM_HINTS", False);
  XChangeProperty(fl_display, fl_xid(window), property, property, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(hints), 5);
}

void ButtonPressed(Fl_Widget*, void*) {
  ReminderWidgets& w = Widgets();
  KeepAbove(w.window, false);
  w.window->hide();
  if (w.button_action != nullptr) w.button_action();
}

// Close requests (the window manager's close, Escape) do nothing.
void CloseRequested(Fl_Widget*, void*) {}

void TimerFired(void*) {
  ReminderWidgets& w = Widgets();
  Fl::repeat_timeout(w.tick_seconds, TimerFired);
  if (w.tick != nullptr) w.tick();
}

}  // namespace

void CreateReminderWindow() {
  ReminderWidgets& w = Widgets();
  if (w.window != nullptr) return;
  Fl::set_font(kMessageFont, kReminderFontName);
  const ReminderLayout layout = LayOutReminder(kReminderWindowWidth, kReminderWindowHeight);

  ReminderFrame* window = new ReminderFrame(kReminderWindowWidth, kReminderWindowHeight);
  window->copy_label(TextToUtf8(kReminderTitle).c_str());
  window->callback(CloseRequested);
  window->resizable(nullptr);
  window->size_range(kMinimumWidth, kMinimumHeight);

  Fl_Group* panel =
      new Fl_Group(layout.panel.x, layout.panel.y, layout.panel.width, layout.panel.height);
  panel->box(FL_FLAT_BOX);
  panel->color(ToFlColour(kReminderPanelColour));
  panel->resizable(nullptr);
  Fl_Box* icon = new Fl_Box(FL_NO_BOX, 0, 0, kReminderIconSize, kReminderIconSize, nullptr);
  MessageText* message = new MessageText(0, 0, 1, 1);
  message->box(FL_FLAT_BOX);
  message->color(ToFlColour(kReminderPanelColour));
  message->labelcolor(ToFlColour(kReminderTextColour));
  panel->end();

  Fl_Button* button = new Fl_Button(0, 0, kReminderButtonWidth, kReminderButtonHeight);
  button->copy_label(TextToUtf8(kReminderButtonText).c_str());
  button->callback(ButtonPressed);
  window->end();

  w.window = window;
  w.panel = panel;
  w.icon = icon;
  w.message = message;
  w.button = button;
  ApplyLayout(kReminderWindowWidth, kReminderWindowHeight);

  // An icon that cannot be decoded leaves the icon area empty.
  if (DecodeGreyAlphaPng(BuiltInIconPng(), w.icon_pixels)) {
    w.icon_image =
        new Fl_RGB_Image(w.icon_pixels.pixels.data(), w.icon_pixels.width, w.icon_pixels.height, 2);
    icon->image(w.icon_image);
  }
}

MeasuredText MeasureReminderText(const Text& text, int message_width) {
  fl_font(kMessageFont, kReminderFontSize);
  int width = message_width - 1;  // the measuring rectangle starts at left 1
  int height = 0;
  fl_measure(TextToUtf8(text).c_str(), width, height, 0);
  return MeasuredText{1 + width, 1 + height};
}

void ShowReminder(const Text& text) {
  CreateReminderWindow();
  ReminderWidgets& w = Widgets();
  w.message->text = TextToUtf8(text);

  const WidgetBox current{w.message->x() - w.panel->x(), w.message->y() - w.panel->y(),
                          w.message->w(), w.message->h()};
  // FLTK's sunken 3-D box edge stands for the system's edge metrics.
  const WidgetBox fitted = FitMessage(current, MeasureReminderText(text, current.width),
                                      Fl::box_dx(FL_DOWN_BOX), Fl::box_dy(FL_DOWN_BOX));
  Place(w.message, fitted, w.panel->x(), w.panel->y());
  w.window->resize(0, 0, w.window->w(), FittedWindowHeight(fitted));

  int screen_x = 0, screen_y = 0, screen_width = 0, screen_height = 0;
  Fl::screen_xywh(screen_x, screen_y, screen_width, screen_height, 0);
  const WidgetBox centred =
      CentreOnScreen(screen_width, screen_height, w.window->w(), w.window->h());
  w.window->position(centred.x, centred.y);

  w.window->show();
  OfferOnlyMoveAndResize(w.window);
  KeepAbove(w.window, true);
  w.message->redraw();
  Fl::flush();
}

void SetReminderButtonAction(ReminderCallback action) { Widgets().button_action = action; }

void RunReminderEventLoop(int interval_milliseconds, ReminderCallback tick) {
  ReminderWidgets& w = Widgets();
  w.tick = tick;
  w.tick_seconds = interval_milliseconds / 1000.0;
  Fl::add_timeout(w.tick_seconds, TimerFired);
  while (!w.quit) Fl::wait(1e20);
  Fl::remove_timeout(TimerFired);
}

void EndReminderEventLoop() { Widgets().quit = true; }

ReminderWindowState InspectReminderWindow() {
  ReminderWindowState state;
  const ReminderWidgets& w = Widgets();
  if (w.window == nullptr) return state;
  auto relative = [](const Fl_Widget* widget, const Fl_Widget* parent) {
    const int x = parent == nullptr ? 0 : parent->x();
    const int y = parent == nullptr ? 0 : parent->y();
    return WidgetBox{widget->x() - x, widget->y() - y, widget->w(), widget->h()};
  };
  state.exists = true;
  state.visible = w.window->shown() && w.window->visible();
  state.window = WidgetBox{w.window->x(), w.window->y(), w.window->w(), w.window->h()};
  state.layout.panel = relative(w.panel, nullptr);
  state.layout.icon = relative(w.icon, w.panel);
  state.layout.message = relative(w.message, w.panel);
  state.layout.button = relative(w.button, nullptr);
  state.has_icon = w.icon->image() != nullptr;
  state.title = Utf8ToText(w.window->label() == nullptr ? "" : w.window->label());
  state.message = Utf8ToText(w.message->text);
  int screen_x = 0, screen_y = 0;
  Fl::screen_xywh(screen_x, screen_y, state.screen_width, state.screen_height, 0);
  return state;
}

void ResizeReminderWindow(int inner_width, int inner_height) {
  ReminderWidgets& w = Widgets();
  if (w.window == nullptr) return;
  w.window->resize(w.window->x(), w.window->y(), inner_width, inner_height);
  Fl::flush();
}

void PressReminderButton() {
  ReminderWidgets& w = Widgets();
  if (w.button != nullptr) w.button->do_callback();
}

void RequestReminderClose() {
  ReminderWidgets& w = Widgets();
  if (w.window == nullptr || !w.window->shown()) return;
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = fl_xid(w.window);
  event.xclient.message_type = XInternAtom(fl_display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(fl_display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(fl_display, fl_xid(w.window), False, NoEventMask, &event);
  XFlush(fl_display);
}

void ProcessReminderEvents(double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  Fl::check();
  while (std::chrono::steady_clock::now() < end) Fl::wait(0.02);
  Fl::flush();
}

}  // namespace zefa
