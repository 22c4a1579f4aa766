#include "Worker.h"

void Worker::run() {
    QMetaObject::invokeMethod(this, [this] { process(); }, Qt::QueuedConnection);
}
