// fake_platform.h: recording stand-ins for the platform layers the application shell uses: a
// process runner, a log, an alert presenter and a workspace. Each records its calls under a
// lock, so a test may read them from another thread.
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

// Records every Run and Launch; Run answers with `run_result` (or `on_run`, when set).
class FakeRunner : public ProcessRunner {
 public:
  ProcessResult Run(const std::vector<std::string>& argv, const Environment&,
                    int cancel_fd) override {
    std::lock_guard<std::mutex> hold(mu_);
    runs_.push_back(argv);
    cancel_fds_.push_back(cancel_fd);
    return on_run ? on_run(argv) : run_result;
  }
  int Launch(const std::vector<std::string>& argv, const Environment&, pid_t* pid) override {
    std::lock_guard<std::mutex> hold(mu_);
    launches_.push_back(argv);
    if (pid != nullptr) *pid = -1;
    return launch_error;
  }
  std::vector<std::vector<std::string>> runs() {
    std::lock_guard<std::mutex> hold(mu_);
    return runs_;
  }
  std::vector<std::vector<std::string>> launches() {
    std::lock_guard<std::mutex> hold(mu_);
    return launches_;
  }
  std::vector<int> cancel_fds() {
    std::lock_guard<std::mutex> hold(mu_);
    return cancel_fds_;
  }

  ProcessResult run_result;  // what Run answers unless on_run is set
  std::function<ProcessResult(const std::vector<std::string>&)> on_run;  // per-call answer
  int launch_error = 0;                                                  // what Launch answers

 private:
  std::mutex mu_;
  std::vector<std::vector<std::string>> runs_;      // argv of every Run, in order
  std::vector<int> cancel_fds_;                     // cancel_fd of every Run
  std::vector<std::vector<std::string>> launches_;  // argv of every Launch, in order
};

// Records log lines, and every event of a test in one sequence shared with the fakes below.
class RecordingLog : public LogSink {
 public:
  void Write(std::string_view line) override {
    std::lock_guard<std::mutex> hold(mu_);
    lines_.emplace_back(line);
    if (events_ != nullptr) events_->push_back("log: " + std::string(line));
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> hold(mu_);
    return lines_;
  }
  std::vector<std::string>* events_ = nullptr;  // when set, gets "log: <line>" too

 private:
  std::mutex mu_;
  std::vector<std::string> lines_;  // every line written, in order
};

// Answers every alert with `response` after calling `while_shown` (a look at the world while
// the alert is up).
class FakePresenter : public AlertPresenter {
 public:
  int RunModal(const AlertContent& alert) override {
    shown.push_back(alert);
    if (events_ != nullptr) events_->push_back("alert: " + alert.message);
    if (while_shown) while_shown();
    return response;
  }
  int response = kAlertFirstButtonReturn;       // the button "pressed"
  std::function<void()> while_shown;            // runs while the alert is "up"
  std::vector<AlertContent> shown;              // every alert shown, in order
  std::vector<std::string>* events_ = nullptr;  // when set, gets "alert: <message>" too
};

// A workspace with at most one installed application.
class FakeWorkspace : public Workspace {
 public:
  std::optional<std::string> URLForApplication(const std::string& app_id) override {
    asked.push_back(app_id);
    return installed_location;
  }
  void OpenApplication(const std::string& location) override { opened_apps.push_back(location); }
  void OpenURL(const std::string& url) override { opened_urls.push_back(url); }

  std::optional<std::string> installed_location;  // the answer of URLForApplication
  std::vector<std::string> asked;                 // identifiers looked up
  std::vector<std::string> opened_apps;           // locations opened
  std::vector<std::string> opened_urls;           // web addresses opened
};

}  // namespace ostrel::testing

#endif  // OSTREL_TESTS_FAKE_PLATFORM_H_
