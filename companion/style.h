// style.h: following the desktop's light or dark preference. GTK 4.8 without libadwaita does
// not read it, so DesktopStyle does: the settings portal's org.freedesktop.appearance
// color-scheme over D-Bus, else GNOME's org.gnome.desktop.interface color-scheme when that
// schema is installed, and it keeps Gtk::Settings' gtk-application-prefer-dark-theme in step
// as the preference changes. Neither being there is normal: the theme's default stays.
// Main thread only; lives as long as the application.
#ifndef OSTREL_COMPANION_STYLE_H_
#define OSTREL_COMPANION_STYLE_H_

#include <gio/gio.h>

namespace ostrel::window {

class DesktopStyle {
 public:
  DesktopStyle();
  ~DesktopStyle();
  DesktopStyle(const DesktopStyle&) = delete;
  DesktopStyle& operator=(const DesktopStyle&) = delete;

 private:
  static void OnProxy(GObject* source, GAsyncResult* result, void* data);
  static void OnRead(GObject* source, GAsyncResult* result, void* data);
  static void OnPortalSignal(GDBusProxy* proxy, const char* sender, const char* signal,
                             GVariant* parameters, void* data);
  static void OnGnomeChanged(GSettings* settings, const char* key, void* data);
  void UseGnomeSettings();

  GCancellable* cancellable_ = g_cancellable_new();
  GDBusProxy* portal_ = nullptr;
  GSettings* gnome_ = nullptr;
};

}  // namespace ostrel::window

#endif  // OSTREL_COMPANION_STYLE_H_
