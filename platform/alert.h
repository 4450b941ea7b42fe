// alert.h: modal alerts: a message, an informative text and a row of buttons.
//
// The caller describes the alert (AlertContent) and gets back which button was pressed, as
// 1000 + the button's index (1000 for the first button added, 1001 for the second). Each
// operating system draws it its own way (platform/linux/desktop_alert.h on Linux). Presenting
// blocks the calling thread (the main thread) and nothing else.
#ifndef OSTREL_PLATFORM_ALERT_H_
#define OSTREL_PLATFORM_ALERT_H_

#include <string>
#include <vector>

namespace ostrel {

// The alert's style; the values are the ones the alert is stored and compared with everywhere.
enum class AlertStyle : int {
  kWarning = 0,        // warning icon
  kInformational = 1,  // information icon
};

// What one alert shows.
struct AlertContent {
  std::string title;                              // the window title (the application's name)
  AlertStyle style = AlertStyle::kInformational;  // which icon
  std::string message;                            // the short, emphasised first text
  std::string informative;                        // the longer text below it; may hold line feeds
  std::vector<std::string> buttons;  // the button titles in the order added; the first is the
                                     // default button
};

// The answer for the first button; the n-th button (from 0) answers kAlertFirstButtonReturn + n.
inline constexpr int kAlertFirstButtonReturn = 1000;

class AlertPresenter {
 public:
  virtual ~AlertPresenter() = default;
  // Shows `alert` modally and returns when it is closed: kAlertFirstButtonReturn + the index of
  // the pressed button. An alert closed without a button (window closed, Escape, the process
  // asked to end) answers kAlertFirstButtonReturn. Never throws.
  virtual int RunModal(const AlertContent& alert) = 0;
};

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_ALERT_H_
