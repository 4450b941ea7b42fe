// style.cc: reading the desktop's colour-scheme preference (see style.h).
#include "companion/style.h"

#include <gtk/gtk.h>

#include <cstring>

namespace ostrel::window {
namespace {

constexpr const char* kNamespace = "org.freedesktop.appearance";
constexpr const char* kKey = "color-scheme";

// 1 asks for dark, anything else (0 no preference, 2 light) for the theme's light style.
void Apply(bool dark) {
  if (GtkSettings* settings = gtk_settings_get_default()) {
    g_object_set(settings, "gtk-application-prefer-dark-theme", dark, nullptr);
  }
}

// The portal wraps the value in one or two variants; this reaches the number.
bool DarkFrom(GVariant* value) {
  g_variant_ref(value);
  while (g_variant_is_of_type(value, G_VARIANT_TYPE_VARIANT)) {
    GVariant* inner = g_variant_get_variant(value);
    g_variant_unref(value);
    value = inner;
  }
  const bool dark =
      g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32) && g_variant_get_uint32(value) == 1;
  g_variant_unref(value);
  return dark;
}

}  // namespace

DesktopStyle::DesktopStyle() {
  g_dbus_proxy_new_for_bus(G_BUS_TYPE_SESSION, G_DBUS_PROXY_FLAGS_DO_NOT_LOAD_PROPERTIES, nullptr,
                           "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                           "org.freedesktop.portal.Settings", cancellable_, OnProxy, this);
}

DesktopStyle::~DesktopStyle() {
  g_cancellable_cancel(cancellable_);
  if (portal_) {
    g_signal_handlers_disconnect_by_data(portal_, this);
    g_object_unref(portal_);
  }
  if (gnome_) {
    g_signal_handlers_disconnect_by_data(gnome_, this);
    g_object_unref(gnome_);
  }
  g_object_unref(cancellable_);
}

void DesktopStyle::OnProxy(GObject*, GAsyncResult* result, void* data) {
  GError* error = nullptr;
  GDBusProxy* proxy = g_dbus_proxy_new_for_bus_finish(result, &error);
  if (!proxy) {
    const bool cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
    g_error_free(error);
    if (!cancelled) static_cast<DesktopStyle*>(data)->UseGnomeSettings();
    return;
  }
  auto* self = static_cast<DesktopStyle*>(data);
  self->portal_ = proxy;
  g_signal_connect(proxy, "g-signal", G_CALLBACK(OnPortalSignal), self);
  g_dbus_proxy_call(proxy, "Read", g_variant_new("(ss)", kNamespace, kKey), G_DBUS_CALL_FLAGS_NONE,
                    2000, self->cancellable_, OnRead, self);
}

void DesktopStyle::OnRead(GObject* source, GAsyncResult* result, void* data) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_proxy_call_finish(G_DBUS_PROXY(source), result, &error);
  if (!reply) {
    // No portal, or one without the key: GNOME's own setting may still be there.
    const bool cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
    g_error_free(error);
    if (!cancelled) static_cast<DesktopStyle*>(data)->UseGnomeSettings();
    return;
  }
  GVariant* value = g_variant_get_child_value(reply, 0);
  Apply(DarkFrom(value));
  g_variant_unref(value);
  g_variant_unref(reply);
}

void DesktopStyle::OnPortalSignal(GDBusProxy*, const char*, const char* signal,
                                  GVariant* parameters, void*) {
  if (std::strcmp(signal, "SettingChanged") != 0 ||
      !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ssv)"))) {
    return;
  }
  const char *space = nullptr, *key = nullptr;
  GVariant* value = nullptr;
  g_variant_get(parameters, "(&s&sv)", &space, &key, &value);
  if (std::strcmp(space, kNamespace) == 0 && std::strcmp(key, kKey) == 0) Apply(DarkFrom(value));
  g_variant_unref(value);
}

void DesktopStyle::UseGnomeSettings() {
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  if (!source) return;
  GSettingsSchema* schema =
      g_settings_schema_source_lookup(source, "org.gnome.desktop.interface", TRUE);
  if (!schema) return;
  const bool has_key = g_settings_schema_has_key(schema, kKey);
  g_settings_schema_unref(schema);
  if (!has_key) return;
  gnome_ = g_settings_new("org.gnome.desktop.interface");
  g_signal_connect(gnome_, "changed::color-scheme", G_CALLBACK(OnGnomeChanged), this);
  OnGnomeChanged(gnome_, kKey, this);
}

void DesktopStyle::OnGnomeChanged(GSettings* settings, const char*, void*) {
  gchar* scheme = g_settings_get_string(settings, kKey);
  Apply(std::strcmp(scheme, "prefer-dark") == 0);
  g_free(scheme);
}

}  // namespace ostrel::window
