// The reminder window on Win32. Geometry, texts and colours come from
// window_layout.h; this file only maps them onto windows and controls.
//
// The frame has a title bar and a sizing border but no system menu (so no
// close, minimise or maximise box). The white panel is a child window of
// its own class that colours the static message; the icon is a static
// bitmap, composed onto the panel's white from the decoded grey and alpha.

#include <windows.h>

#include <chrono>

#include "reminder/reminder_icon.h"
#include "reminder/reminder_window.h"

namespace zefa {

namespace {

constexpr wchar_t kFrameClass[] = L"ClavoraReminder";
constexpr wchar_t kPanelClass[] = L"ClavoraReminderPanel";
constexpr DWORD kFrameStyle = WS_CAPTION | WS_THICKFRAME | WS_CLIPCHILDREN;
constexpr DWORD kFrameExStyle = 0;
constexpr int kButtonId = IDOK;

struct ReminderWindows {
  HWND window = nullptr;
  HWND panel = nullptr;
  HWND icon = nullptr;
  HWND message = nullptr;
  HWND button = nullptr;
  HFONT font = nullptr;
  HBRUSH panel_brush = nullptr;
  HBITMAP icon_bitmap = nullptr;
  ReminderCallback button_action = nullptr;
  ReminderCallback tick = nullptr;
  UINT_PTR timer = 0;
  bool quit = false;
};

ReminderWindows& Windows() {
  static ReminderWindows* windows = new ReminderWindows;
  return *windows;
}

COLORREF ToColorRef(const Rgb& rgb) { return RGB(rgb.red, rgb.green, rgb.blue); }

// Outer window size for an inner (client) size.
SIZE OuterSize(int inner_width, int inner_height) {
  RECT rect{0, 0, inner_width, inner_height};
  AdjustWindowRectEx(&rect, kFrameStyle, FALSE, kFrameExStyle);
  return SIZE{rect.right - rect.left, rect.bottom - rect.top};
}

void Place(HWND control, const WidgetBox& box) {
  MoveWindow(control, box.x, box.y, box.width, box.height, TRUE);
}

void ApplyLayout(int width, int height) {
  const ReminderWindows& w = Windows();
  if (w.button == nullptr) return;  // still being built
  const ReminderLayout layout = LayOutReminder(width, height);
  Place(w.panel, layout.panel);
  Place(w.icon, layout.icon);
  Place(w.message, layout.message);
  Place(w.button, layout.button);
  // Controls repaint only their newly exposed parts; the wrapped text and
  // the moved button have to be drawn whole.
  RedrawWindow(w.window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

WidgetBox ChildBox(HWND child, HWND parent) {
  RECT rect{};
  GetWindowRect(child, &rect);
  MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&rect), 2);
  return WidgetBox{rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top};
}

WidgetBox ClientBox(HWND window) {
  RECT client{};
  GetClientRect(window, &client);
  POINT origin{0, 0};
  ClientToScreen(window, &origin);
  return WidgetBox{origin.x, origin.y, client.right, client.bottom};
}

Text WindowText(HWND window) {
  const int length = GetWindowTextLengthW(window);
  Text text(static_cast<size_t>(length) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), length + 1)));
  return text;
}

void ButtonPressed() {
  ReminderWindows& w = Windows();
  SetWindowPos(w.window, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  ShowWindow(w.window, SW_HIDE);
  if (w.button_action != nullptr) w.button_action();
}

LRESULT CALLBACK FrameProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_SIZE:
      ApplyLayout(LOWORD(lparam), HIWORD(lparam));
      return 0;
    case WM_COMMAND:
      if (LOWORD(wparam) == kButtonId && HIWORD(wparam) == BN_CLICKED) ButtonPressed();
      return 0;
    case WM_CLOSE:  // only "OK" dismisses the window
      return 0;
    case WM_SYSCOMMAND:
      if ((wparam & 0xFFF0) == SC_CLOSE) return 0;
      break;
    default:
      break;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

LRESULT CALLBACK PanelProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_CTLCOLORSTATIC) {
    const HDC dc = reinterpret_cast<HDC>(wparam);
    SetTextColor(dc, ToColorRef(kReminderTextColour));
    SetBkColor(dc, ToColorRef(kReminderPanelColour));
    return reinterpret_cast<LRESULT>(Windows().panel_brush);
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

bool RegisterClasses(HINSTANCE instance) {
  WNDCLASSEXW frame{};
  frame.cbSize = sizeof frame;
  frame.lpfnWndProc = FrameProc;
  frame.hInstance = instance;
  frame.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  frame.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  frame.lpszClassName = kFrameClass;
  WNDCLASSEXW panel{};
  panel.cbSize = sizeof panel;
  panel.lpfnWndProc = PanelProc;
  panel.hInstance = instance;
  panel.hCursor = frame.hCursor;
  panel.hbrBackground = Windows().panel_brush;
  panel.lpszClassName = kPanelClass;
  return RegisterClassExW(&frame) != 0 && RegisterClassExW(&panel) != 0;
}

HFONT CreateMessageFont() {
  const HDC screen = GetDC(nullptr);
  const int height = -MulDiv(kReminderFontSize, GetDeviceCaps(screen, LOGPIXELSY), 72);
  ReleaseDC(nullptr, screen);
  const Text face = Utf8ToText(kReminderFontName);
  return CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, face.c_str());
}

// The icon composed onto the panel's colour: a 32-bit top-down DIB.
HBITMAP CreateIconBitmap(const GreyAlphaImage& image) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = image.width;
  info.bmiHeader.biHeight = -image.height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  const HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap == nullptr || bits == nullptr) return bitmap;
  auto* out = static_cast<uint8_t*>(bits);
  const Rgb back = kReminderPanelColour;
  const size_t count = static_cast<size_t>(image.width) * image.height;
  for (size_t i = 0; i < count; ++i) {
    const int grey = image.pixels[2 * i];
    const int alpha = image.pixels[2 * i + 1];
    auto blend = [&](int under) {
      return static_cast<uint8_t>((grey * alpha + under * (255 - alpha)) / 255);
    };
    out[4 * i] = blend(back.blue);
    out[4 * i + 1] = blend(back.green);
    out[4 * i + 2] = blend(back.red);
    out[4 * i + 3] = 0;
  }
  return bitmap;
}

void CALLBACK TimerFired(HWND, UINT, UINT_PTR, DWORD) {
  const ReminderWindows& w = Windows();
  if (w.tick != nullptr) w.tick();
}

void DispatchWaiting() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

}  // namespace

void CreateReminderWindow() {
  ReminderWindows& w = Windows();
  if (w.window != nullptr) return;
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  w.panel_brush = CreateSolidBrush(ToColorRef(kReminderPanelColour));
  if (!RegisterClasses(instance)) return;

  const SIZE outer = OuterSize(kReminderWindowWidth, kReminderWindowHeight);
  const WidgetBox centred =
      CentreOnScreen(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN),
                     kReminderWindowWidth, kReminderWindowHeight);
  w.window = CreateWindowExW(kFrameExStyle, kFrameClass, kReminderTitle, kFrameStyle, centred.x,
                             centred.y, outer.cx, outer.cy, nullptr, nullptr, instance, nullptr);
  if (w.window == nullptr) return;
  const ReminderLayout layout = LayOutReminder(kReminderWindowWidth, kReminderWindowHeight);
  auto child = [&](const wchar_t* type, const wchar_t* text, DWORD style, HWND parent,
                   const WidgetBox& box, int id) {
    return CreateWindowExW(0, type, text, WS_CHILD | WS_VISIBLE | style, box.x, box.y, box.width,
                           box.height, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                           instance, nullptr);
  };
  w.panel = child(kPanelClass, L"", WS_CLIPCHILDREN, w.window, layout.panel, 0);
  w.icon = child(L"STATIC", L"", SS_BITMAP, w.panel, layout.icon, 0);
  w.message = child(L"STATIC", L"", SS_LEFT | SS_NOPREFIX, w.panel, layout.message, 0);
  w.button = child(L"BUTTON", kReminderButtonText, BS_DEFPUSHBUTTON | WS_TABSTOP, w.window,
                   layout.button, kButtonId);

  // A missing font leaves the default one; an icon that cannot be decoded
  // leaves the icon area empty.
  w.font = CreateMessageFont();
  if (w.font != nullptr)
    SendMessageW(w.message, WM_SETFONT, reinterpret_cast<WPARAM>(w.font), FALSE);
  GreyAlphaImage pixels;
  if (DecodeGreyAlphaPng(BuiltInIconPng(), pixels)) {
    w.icon_bitmap = CreateIconBitmap(pixels);
    if (w.icon_bitmap != nullptr)
      SendMessageW(w.icon, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(w.icon_bitmap));
  }
  // SS_BITMAP sized the control to the image; the layout puts it back.
  ApplyLayout(kReminderWindowWidth, kReminderWindowHeight);
}

MeasuredText MeasureReminderText(const Text& text, int message_width) {
  CreateReminderWindow();
  const ReminderWindows& w = Windows();
  const HDC dc = GetDC(w.message);
  const HGDIOBJ previous = w.font != nullptr ? SelectObject(dc, w.font) : nullptr;
  RECT rect{1, 1, message_width, 10};
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rect,
            DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX);
  if (previous != nullptr) SelectObject(dc, previous);
  ReleaseDC(w.message, dc);
  return MeasuredText{rect.right, rect.bottom};
}

void ShowReminder(const Text& text) {
  CreateReminderWindow();
  const ReminderWindows& w = Windows();
  if (w.window == nullptr) return;
  SetWindowTextW(w.message, text.c_str());

  const WidgetBox current = ChildBox(w.message, w.panel);
  const WidgetBox fitted = FitMessage(current, MeasureReminderText(text, current.width),
                                      GetSystemMetrics(SM_CXEDGE), GetSystemMetrics(SM_CYEDGE));
  Place(w.message, fitted);

  RECT client{};
  GetClientRect(w.window, &client);
  const int inner_width = client.right;
  const int inner_height = FittedWindowHeight(fitted);
  const SIZE outer = OuterSize(inner_width, inner_height);
  SetWindowPos(w.window, nullptr, 0, 0, outer.cx, outer.cy, SWP_NOZORDER | SWP_NOACTIVATE);

  const WidgetBox centred = CentreOnScreen(
      GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), inner_width, inner_height);
  SetWindowPos(w.window, HWND_TOPMOST, centred.x, centred.y, 0, 0,
               SWP_NOSIZE | SWP_NOACTIVATE | SWP_SHOWWINDOW);
  InvalidateRect(w.window, nullptr, TRUE);
  UpdateWindow(w.window);
}

void SetReminderButtonAction(ReminderCallback action) { Windows().button_action = action; }

void RunReminderEventLoop(int interval_milliseconds, ReminderCallback tick) {
  ReminderWindows& w = Windows();
  w.tick = tick;
  if (w.quit) return;
  w.timer = SetTimer(nullptr, 0, static_cast<UINT>(interval_milliseconds), TimerFired);
  MSG message;
  while (!w.quit && GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  if (w.timer != 0) KillTimer(nullptr, w.timer);
  w.timer = 0;
}

void EndReminderEventLoop() {
  Windows().quit = true;
  // Wakes GetMessage so that the loop sees the flag.
  PostThreadMessageW(GetCurrentThreadId(), WM_NULL, 0, 0);
}

ReminderWindowState InspectReminderWindow() {
  ReminderWindowState state;
  const ReminderWindows& w = Windows();
  if (w.window == nullptr) return state;
  state.exists = true;
  state.visible = IsWindowVisible(w.window) != FALSE;
  state.window = ClientBox(w.window);
  state.layout.panel = ChildBox(w.panel, w.window);
  state.layout.icon = ChildBox(w.icon, w.panel);
  state.layout.message = ChildBox(w.message, w.panel);
  state.layout.button = ChildBox(w.button, w.window);
  state.has_icon = SendMessageW(w.icon, STM_GETIMAGE, IMAGE_BITMAP, 0) != 0;
  state.title = WindowText(w.window);
  state.message = WindowText(w.message);
  state.screen_width = GetSystemMetrics(SM_CXSCREEN);
  state.screen_height = GetSystemMetrics(SM_CYSCREEN);
  return state;
}

void ResizeReminderWindow(int inner_width, int inner_height) {
  const ReminderWindows& w = Windows();
  if (w.window == nullptr) return;
  const SIZE outer = OuterSize(inner_width, inner_height);
  SetWindowPos(w.window, nullptr, 0, 0, outer.cx, outer.cy,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void PressReminderButton() {
  const ReminderWindows& w = Windows();
  if (w.button == nullptr) return;
  SendMessageW(w.window, WM_COMMAND, MAKEWPARAM(kButtonId, BN_CLICKED),
               reinterpret_cast<LPARAM>(w.button));
}

void RequestReminderClose() {
  const ReminderWindows& w = Windows();
  if (w.window != nullptr) PostMessageW(w.window, WM_CLOSE, 0, 0);
}

void ProcessReminderEvents(double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  DispatchWaiting();
  while (std::chrono::steady_clock::now() < end) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    DispatchWaiting();
  }
}

}  // namespace zefa
