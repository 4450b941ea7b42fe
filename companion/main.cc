// main.cc: entry point of the Ostrel window. `ostrel` opens the Sensors page; `--text` prints it
// once and `--watch` every second; without a reachable display it behaves as `--text`.
#include <gtk/gtk.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "companion/launcher.h"
#include "companion/text_view.h"
#include "companion/window.h"

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);  // a closed pipe shows as a failed write instead
  bool text = false, watch = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--text") == 0) {
      text = true;
    } else if (std::strcmp(argv[i], "--watch") == 0) {
      watch = true;
    } else {
      const bool help = std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0;
      std::fprintf(help ? stdout : stderr,
                   "Usage: ostrel [--text | --watch]\n"
                   "Shows the readings of Ostrel Sensor Helper.\n"
                   "  --text   print them once as text (exit status 1 when the helper is "
                   "unreachable)\n"
                   "  --watch  print them every second until interrupted\n");
      return help ? 0 : 2;
    }
  }
  if (text || watch) return ostrel::window::RunTextMode(watch);
  // The page changes once a second and draws little: GTK's cairo renderer does that for about
  // a quarter of the CPU time of its GL renderer on a software rasteriser (llvmpipe, as in
  // virtual machines and remote sessions: 0.4 % against 1.7 % of a core here), and without GL
  // Mesa is never loaded (47 MB resident against 178 MB). So unless the user chose a renderer,
  // it is cairo and GL stays off.
  ostrel::window::KeepEnvironmentForHelper();
  if (!std::getenv("GSK_RENDERER") && !std::getenv("GDK_DEBUG")) {
    setenv("GSK_RENDERER", "cairo", 0);
    setenv("GDK_DEBUG", "gl-disable", 0);
  }
  const bool display = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
  if (!display || !gtk_init_check()) return ostrel::window::RunTextMode(false);
  char* app_argv[] = {argv[0], nullptr};  // our options are not GApplication's
  return ostrel::window::RunWindowApp(1, app_argv);
}
