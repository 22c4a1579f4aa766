// Renders the preferences dialog (at 1x) and a polished window into DIR:
// preferences.png, polished-1x.png or polished-2x.png by the screen's ratio.
//   QT_QPA_PLATFORM=offscreen brisle_screenshots docs/screenshots
//   QT_QPA_PLATFORM=offscreen QT_SCALE_FACTOR=2 brisle_screenshots docs/screenshots

#include "app/PreferencesForm.h"
#include "platform/Alerts.h"
#include "platform/Defaults.h"
#include "platform/Locations.h"
#include "ui/PolishedWindow.h"
#include "ui/PreferencesDialog.h"

#include <QApplication>
#include <QDir>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeWidget>

#include <cstdio>

namespace {

struct NoAlerts : Alerts {
    int alert(const Alert&) override { return 0; }
};

// A window like Brisle's: buttons on the top edge, a list, a status line on
// the bottom edge; the background shows around them.
void fill(PolishedWindow& window) {
    auto* body = new QWidget;
    auto* layout = new QVBoxLayout(body);
    layout->setContentsMargins(10, 8, 10, 4);
    auto* bar = new QHBoxLayout;
    for (const char* title : {"Add", "Remove", "Refresh"}) bar->addWidget(new QPushButton(QString::fromUtf8(title)));
    bar->addStretch(1);
    bar->addWidget(new QPushButton(QStringLiteral("Eject")));
    layout->addLayout(bar);
    layout->addSpacing(6);
    auto* list = new QTreeWidget;
    list->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Size"), QStringLiteral("Status")});
    list->setColumnWidth(0, 320);
    for (const char* name : {"Road trip", "Kind of Blue", "Abbey Road", "Other songs"})
        list->addTopLevelItem(new QTreeWidgetItem({QString::fromUtf8(name), QStringLiteral("84.2 MB"), QStringLiteral("On the player")}));
    layout->addWidget(list, 1);
    layout->addSpacing(4);
    layout->addWidget(new QLabel(QStringLiteral("PLAYER: 1.2 GB free · 38 songs to copy")));
    window.setCentralWidget(body);
}

bool save(QWidget& widget, const QString& file) {
    if (widget.grab().save(file)) return true;
    std::fprintf(stderr, "could not write %s\n", qPrintable(file));
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // The offscreen platform knows no icon folders of its own.
    QIcon::setThemeSearchPaths(QIcon::themeSearchPaths() << QStringLiteral("/usr/share/icons"));
    QIcon::setThemeName(QStringLiteral("Adwaita"));
    const QString out = app.arguments().value(1);
    QTemporaryDir dir;
    if (out.isEmpty() || !QDir().mkpath(out) || !dir.isValid()) return 2;
    Locations::setVolumesFolder(dir.path());

    PolishedWindow window;
    window.setWindowTitle(QStringLiteral("Brisle"));
    fill(window);
    window.resize(640, 400);
    window.setFlat(true);
    window.show();
    QApplication::processEvents();
    bool ok = save(window, QStringLiteral("%1/polished-%2x.png").arg(out).arg(window.devicePixelRatio()));
    if (window.devicePixelRatio() > 1) return ok ? 0 : 1;

    Defaults defaults(dir.path() + QStringLiteral("/Brisle.plist"));
    defaults.registerDefaults(settings::registeredDefaults());
    NoAlerts alerts;
    PreferencesForm form(defaults, alerts, true, dir.path() + QStringLiteral("/cache/"));
    form.setVolumeSource([&] {
        auto volume = [&](const char* name, Volumes::VolumeKind kind) {
            return Volumes::MountedVolume{.mountPoint = dir.path() + u'/' + QLatin1String(name), .name = QLatin1String(name),
                                          .kind = kind, .iconName = Volumes::iconNameFor(kind), .fatFamily = true};
        };
        return std::vector{volume("PHONE", Volumes::VolumeKind::Phone), volume("SD CARD", Volumes::VolumeKind::MemoryCard),
                           volume("WALKMAN", Volumes::VolumeKind::RemovableDrive)};
    });
    if (!form.open()) return 1;
    form.setDisk(QStringLiteral("PHONE"));
    form.setProfile(QStringLiteral("Sony Ericsson phone"));
    PreferencesDialog dialog(form, &window);
    dialog.show();
    QApplication::processEvents();
    return ok && save(dialog, out + QStringLiteral("/preferences.png")) ? 0 : 1;
}
