// Which kind of notification area the desktop offers. Trays that speak the
// StatusNotifierItem protocol over D-Bus (KDE Plasma, GNOME with the
// AppIndicator extension, most Wayland panels) report a click as one
// activation and never a double click; the classic X11 tray reports both.
#pragma once

namespace talvex {

// True when Qt will put the tray icon on a StatusNotifierItem host, whose
// clicks arrive as single activations only.
bool TrayUsesStatusNotifier();

}  // namespace talvex
