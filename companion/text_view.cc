// text_view.cc: the page as text, once or every second (see text_view.h).
#include "companion/text_view.h"

#include <glib-unix.h>
#include <glib.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "companion/client.h"
#include "companion/model.h"

namespace ostrel::window {
namespace {

struct TextMode {
  explicit TextMode(bool repeat) : watch(repeat) {}

  bool watch;
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  PageModel model;
  int status = 0;
  bool power_retried = false;
  bool printed = false;

  // Prints the page; false when standard output no longer takes it.
  bool Print() {
    if (watch && isatty(STDOUT_FILENO)) std::fputs("\033[H\033[J", stdout);
    printed = true;
    const std::string text = RenderText(model.view()) + (watch ? "\n" : "");
    return std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0;
  }

  void Stop(int code) {
    status = code;
    g_main_loop_quit(loop);
  }

  void Finish(int code) { Stop(Print() ? code : 1); }

  void OnDocument(const Reply& reply) {
    const std::optional<Document> document =
        reply.failure ? std::nullopt : ParseDocument(reply.body);
    if (document) {
      model.OnDocument(*document, g_get_monotonic_time() / 1e6);
    } else {
      model.OnFailure(reply.failure.value_or(Failure::kNoAnswer));
    }
    if (watch) {
      if (!printed && !Print()) Stop(1);  // the first page as soon as it is known
      return;
    }
    // A helper that has just started has no power yet; its second document will.
    if (document && !document->power && !power_retried) {
      power_retried = true;
      return;
    }
    Finish(document ? 0 : 1);
  }

  void OnSlow() {
    model.OnSlow();
    if (!watch) Finish(1);
  }
};

int Quit(void* data) {
  g_main_loop_quit(static_cast<TextMode*>(data)->loop);
  return G_SOURCE_CONTINUE;
}

int Tick(void* data) {
  auto* mode = static_cast<TextMode*>(data);
  if (!mode->Print()) mode->Stop(1);
  return G_SOURCE_CONTINUE;
}

}  // namespace

int RunTextMode(bool watch) {
  TextMode mode(watch);
  {
    HelperClient client({[&mode](const Reply& reply) { mode.OnDocument(reply); }, nullptr,
                         [&mode] { mode.OnSlow(); }});
    client.Start();
    guint sources[3] = {0, 0, 0};
    if (watch) {
      sources[0] = g_unix_signal_add(SIGINT, Quit, &mode);
      sources[1] = g_unix_signal_add(SIGTERM, Quit, &mode);
      sources[2] = g_timeout_add_seconds(1, Tick, &mode);
    }
    g_main_loop_run(mode.loop);
    for (guint source : sources) {
      if (source) g_source_remove(source);
    }
  }
  g_main_loop_unref(mode.loop);
  return mode.status;
}

}  // namespace ostrel::window
