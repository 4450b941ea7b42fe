// fake_platform.h: recording stand-ins for the platform services the application shell uses: a
// process runner, a log, an alert presenter and a workspace. All record into one `events` list
// when given one; the runner and the log lock, so other threads may call them.
#ifndef OSTREL_TESTS_FAKE_PLATFORM_H_
#define OSTREL_TESTS_FAKE_PLATFORM_H_

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/alert.h"
#include "platform/linux/process.h"
#include "platform/system_log.h"
#include "platform/workspace.h"

namespace ostrel::testing {

// Records every Run (argv and cancel descriptor) and Launch; Run answers `run_result`.
class FakeRunner : public ProcessRunner {
 public:
  ProcessResult Run(const std::vector<std::string>& argv, const Environment&,
                    int cancel_fd) override {
    std::lock_guard<std::mutex> hold(mu_);
    runs_.push_back(argv);
    runs_.back().push_back("cancel " + std::to_string(cancel_fd));
    return run_result;
  }
  int Launch(const std::vector<std::string>& argv, const Environment&, pid_t*) override {
    std::lock_guard<std::mutex> hold(mu_);
    launches_.push_back(argv);
    return 0;
  }
  std::vector<std::vector<std::string>> runs() {
    std::lock_guard<std::mutex> hold(mu_);
    return runs_;
  }
  std::vector<std::vector<std::string>> launches() {
    std::lock_guard<std::mutex> hold(mu_);
    return launches_;
  }
  ProcessResult run_result;  // what every Run answers

 private:
  std::mutex mu_;                                   // guards the two below
  std::vector<std::vector<std::string>> runs_;      // argv of every Run, then "cancel <fd>"
  std::vector<std::vector<std::string>> launches_;  // argv of every Launch
};

// The log, the presenter and the workspace, writing "log: <line>", "alert: <message>",
// "open app <location>" and "open url <url>" into one list.
struct FakeShell : LogSink, AlertPresenter, Workspace {
  void Write(std::string_view line) override {
    std::lock_guard<std::mutex> hold(mu);
    events.push_back("log: " + std::string(line));
  }
  int RunModal(const AlertContent& alert) override {
    shown.push_back(alert);
    events.push_back("alert: " + alert.message);
    if (while_shown) while_shown();
    return response;
  }
  std::optional<std::string> URLForApplication(const std::string& app_id) override {
    events.push_back("find " + app_id);
    return installed;
  }
  void OpenApplication(const std::string& location) override {
    events.push_back("open app " + location);
  }
  void OpenURL(const std::string& url) override { events.push_back("open url " + url); }

  std::mutex mu;                           // guards events against log lines from other threads
  std::vector<std::string> events;         // everything, in order
  std::vector<AlertContent> shown;         // every alert shown
  int response = kAlertFirstButtonReturn;  // the button "pressed"
  std::function<void()> while_shown;       // runs while the alert is "up"
  std::optional<std::string> installed;    // the main application's location, if any
};

}  // namespace ostrel::testing

#endif  // OSTREL_TESTS_FAKE_PLATFORM_H_
