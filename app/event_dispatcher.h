#pragma once

// Has the application object use Qt's own event dispatcher instead of GLib's:
// GLib's writes to its wake-up descriptor for every queued call (several per
// message here), Qt's once per loop iteration. Called before the application
// object is made, which picks one; QT_NO_GLIB set from outside is left alone.
void use_qt_event_dispatcher();
