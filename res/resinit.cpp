#include "res/resinit.h"

#include <QtCore/qglobal.h>

// Q_INIT_RESOURCE declares the rcc function inside this function; it must not
// sit in a namespace, or the declaration would name another function.
void InitResources() {
  Q_INIT_RESOURCE(morvane);
}
