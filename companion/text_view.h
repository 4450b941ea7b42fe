// text_view.h: text mode, for terminals, scripts and machines without a display. It drives the
// same client and model as the window on a plain GLib main loop and prints RenderText's page
// to standard output. Runs on the calling thread, which must own the default main context.
#ifndef OSTREL_COMPANION_TEXT_VIEW_H_
#define OSTREL_COMPANION_TEXT_VIEW_H_

namespace ostrel::window {

// Once (`watch` false): prints the page when the first answer or failure is known and returns
// 0 when the helper answered, 1 when it is unreachable or not answering. With `watch`: prints
// the page every second (clearing the screen when standard output is a terminal) until SIGINT
// or SIGTERM, then returns 0; 1 when standard output fails.
int RunTextMode(bool watch);

}  // namespace ostrel::window

#endif  // OSTREL_COMPANION_TEXT_VIEW_H_
