// helper_app.cc: start-up, launch alert and opening Ostrel.
#include "app/helper_app.h"

#include <system_error>

#include "app/launch_alert.h"

namespace ostrel {

HelperApp::HelperApp(Platform& platform)
    : HelperApp(std::make_unique<SensorServer>(
                    SensorServer::LoginItem{platform.loginItem(), platform.log()}),
                Services{platform.alerts(), platform.workspace(), platform.log()}) {}

HelperApp::HelperApp(std::unique_ptr<SensorServer> server_in, Services services,
                     std::string web_page)
    : server(std::move(server_in)),
      appBundleID(kOstrelBundleID),
      services_(services),
      web_page_(std::move(web_page)) {}

HelperApp::~HelperApp() = default;

void HelperApp::applicationDidFinishLaunching() {
  bool started = true;
  try {
    server->start();
  } catch (const std::system_error& e) {
    started = false;
    services_.log.Write(std::string("Ostrel Sensor Helper: server failed to start: ") + e.what());
  }
  confirmLaunch(started);
}

void HelperApp::confirmLaunch(bool started) {
  const int response = services_.alerts.RunModal(LaunchAlert(started, SensorServer::kPort));
  if (LaunchActionFor(started, response) == LaunchAction::kOpenOstrel) openOstrel();
}

void HelperApp::openOstrel() {
  if (std::optional<std::string> location = services_.workspace.URLForApplication(appBundleID)) {
    services_.workspace.OpenApplication(*location);
    return;
  }
  if (std::optional<std::string> url = WebAddressFromString(web_page_)) {
    services_.workspace.OpenURL(*url);
  }
}

std::optional<std::string> WebAddressFromString(std::string_view text) {
  size_t colon = text.find("://");
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (!alpha(text[0])) return std::nullopt;
  for (size_t i = 1; i < colon; ++i) {
    char c = text[i];
    if (!alpha(c) && !digit(c) && c != '+' && c != '-' && c != '.') return std::nullopt;
  }
  std::string_view rest = text.substr(colon + 3);
  size_t host_end = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, host_end);
  size_t at = authority.rfind('@');
  std::string_view host = at == std::string_view::npos ? authority : authority.substr(at + 1);
  if (host.empty() || host.front() == ':') return std::nullopt;
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f) return std::nullopt;
  }
  return std::string(text);
}

}  // namespace ostrel
