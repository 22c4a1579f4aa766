#include "platform/FWWorkspaceNotificationCenter.h"

#include <QCoreApplication>
#include <QThread>

FWWorkspaceNotificationCenter* FWWorkspaceNotificationCenter::instance() {
    // Never destroyed: watcher threads may post during process exit.
    static FWWorkspaceNotificationCenter* const center = [] {
        auto* made = new FWWorkspaceNotificationCenter;
        // Made on a watcher thread, it would belong to a thread that ends.
        if (QCoreApplication* app = QCoreApplication::instance(); app && made->thread() != app->thread())
            made->moveToThread(app->thread());
        return made;
    }();
    return center;
}

void FWWorkspaceNotificationCenter::postNotification(const QString& name, const QString& path) {
    Q_EMIT posted(name, path);
}
