// helper_app.h: the application delegate: starts the sensor server when launching has finished,
// tells the user whether it started, and opens the main Ostrel application on request.
//
// One HelperApp lives for the whole process, made by the process entry; it owns the one
// SensorServer. Everything here runs on the main thread: `applicationDidFinishLaunching` (once,
// from the event loop), the modal alert and the opening of Ostrel; the server serves on its own
// threads all the while.
#ifndef OSTREL_APP_HELPER_APP_H_
#define OSTREL_APP_HELPER_APP_H_

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/alert.h"
#include "platform/application.h"
#include "platform/log_sink.h"
#include "platform/platform.h"
#include "platform/workspace.h"
#include "server/sensor_server.h"

namespace ostrel {

class HelperApp final : public Application::Delegate {
 public:
  // The main Ostrel application's identifier (names its desktop entry, com.ostrel.Ostrel.desktop).
  static constexpr char kOstrelBundleID[] = "com.ostrel.Ostrel";
  // The product's web page, opened when the main application is not installed.
  static constexpr char kOstrelWebPage[] = "https://ostrel.app/";

  // The platform services the delegate talks to; borrowed.
  struct Services {
    AlertPresenter& alerts;  // shows the launch alert
    Workspace& workspace;    // finds and opens Ostrel or its web page
    LogSink& log;            // the failed-start line
  };

  // The product: the server on 127.0.0.1:53843 over the helper's login item, and the
  // platform's alerts, workspace and log (borrowed: `platform` outlives the delegate).
  explicit HelperApp(Platform& platform);
  // For tests: a given server and services, and optionally another web page address.
  HelperApp(std::unique_ptr<SensorServer> server, Services services,
            std::string web_page = kOstrelWebPage);
  ~HelperApp() override;
  HelperApp(const HelperApp&) = delete;
  HelperApp& operator=(const HelperApp&) = delete;

  // Starts the server, logs a failed start, then shows the launch alert (modal; returns when it
  // is closed).
  void applicationDidFinishLaunching() override;

  const std::unique_ptr<SensorServer> server;  // the one sensor server, owned
  const std::string appBundleID;               // the main application's identifier

 private:
  // Shows the alert for `started` and acts on the answer.
  void confirmLaunch(bool started);
  // Opens the main application, or the web page when it is not installed.
  void openOstrel();

  Services services_;           // borrowed from the caller or the platform
  const std::string web_page_;  // kOstrelWebPage in the product
};

// `text` as a web address (an absolute URL of a scheme, "://" and a host, without blanks or
// control characters), or nullopt when it cannot be read as one.
std::optional<std::string> WebAddressFromString(std::string_view text);

}  // namespace ostrel

#endif  // OSTREL_APP_HELPER_APP_H_
