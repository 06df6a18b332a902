#include "app/qt/tray_kind.h"

#if TALVEX_SHELL_HAVE_DBUS
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QVariant>
#endif

namespace talvex {

bool TrayUsesStatusNotifier() {
#if TALVEX_SHELL_HAVE_DBUS
  // The same test Qt makes before it chooses the D-Bus tray: a watcher on
  // the session bus with a host registered.
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || bus.interface() == nullptr) return false;
  const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
  if (!bus.interface()->isServiceRegistered(watcher)) return false;
  QDBusInterface iface(watcher, QStringLiteral("/StatusNotifierWatcher"), watcher, bus);
  return iface.isValid() && iface.property("IsStatusNotifierHostRegistered").toBool();
#else
  return false;
#endif
}

}  // namespace talvex
