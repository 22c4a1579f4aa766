#include "PreferencesDialog.h"

#include "app/Controller.h"
#include "app/PreferencesForm.h"
#include "app/UserInterface.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// The folder pop-ups' items, by index: what each index stores is fixed by
// settings::folderKeys.
const char* const kAlbumItems[] = {"All in the music folder", "A folder per album", "A folder per artist, then per album"};
const char* const kPlaylistItems[] = {"All in the music folder", "A folder per playlist", "Playlist folders inside \"Playlists\"",
                                      "In their albums' folders"};
const char* const kSongItems[] = {"In the music folder", "In a folder \"Other songs\"", "In their album's folder"};

template <std::size_t N>
QComboBox* folderPopUp(const char* const (&items)[N], const QString& name) {
    auto* box = new QComboBox;
    for (const char* item : items) box->addItem(QString::fromUtf8(item));
    box->setAccessibleName(name);
    return box;
}

QComboBox* ratePopUp(const QList<int>& tags, const QString& name) {
    auto* box = new QComboBox;
    for (int tag : tags)
        box->addItem(tag == settings::kNoBitRateLimit ? QStringLiteral("No limit") : QStringLiteral("%1 kbit/s").arg(tag), tag);
    box->setAccessibleName(name);
    return box;
}

// The volume's icon from the icon theme, else a generic removable drive,
// else the style's drive.
QIcon volumeIcon(const QString& name, const QStyle* style) {
    for (const QString& themed : {name, QStringLiteral("drive-removable-media")})
        if (QIcon::hasThemeIcon(themed)) return QIcon::fromTheme(themed);
    return style->standardIcon(QStyle::SP_DriveHDIcon);
}

void selectData(QComboBox* box, int tag) { box->setCurrentIndex(std::max(0, box->findData(tag))); }
void selectText(QComboBox* box, const QString& text) { box->setCurrentIndex(std::max(0, box->findText(text, Qt::MatchExactly))); }

}  // namespace

bool runPreferences(QWidget* window, Controller& controller) {
    PreferencesForm form(controller.defaults(), controller.ui(), controller.conversionOn(), controller.cacheFolder());
    if (!form.open()) {
        // Queued, so that it also ends a program whose event loop has not begun.
        QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
        return false;
    }
    PreferencesDialog dialog(form, window);
    bool stored = dialog.exec() == QDialog::Accepted;
    controller.playerSettingsChanged();
    return stored;
}

bool showPreferencesAtFirstStart(QWidget* window, Controller& controller) {
    if (!controller.pathToPlayer().isEmpty()) return false;
    runPreferences(window, controller);
    return true;
}

PreferencesDialog::PreferencesDialog(PreferencesForm& form, QWidget* parent) : QDialog(parent), form_(form) {
    setWindowTitle(QStringLiteral("Preferences"));
    setWindowModality(Qt::WindowModal);
    build();
    showForm();
}

void PreferencesDialog::build() {
    auto* player = new QGroupBox(QStringLiteral("Player"));
    auto* playerForm = new QFormLayout(player);
    disk_ = new QComboBox;
    disk_->setAccessibleName(QStringLiteral("Volume"));
    disk_->setIconSize(QSize(16, 16));
    for (const PreferencesForm::Volume& v : form_.volumes()) {
        if (!v.mounted) disk_->insertSeparator(disk_->count());
        disk_->addItem(volumeIcon(v.iconName, style()), v.name);
    }
    profile_ = new QComboBox;
    profile_->addItems(settings::profileTitles());
    profile_->setAccessibleName(QStringLiteral("Profile"));
    path_ = new QLineEdit;
    path_->setAccessibleName(QStringLiteral("Folder"));
    path_->setPlaceholderText(QStringLiteral("/Music/"));
    pathError_ = new QLabel;
    pathError_->setAccessibleName(QStringLiteral("Folder problem"));
    pathError_->setWordWrap(true);
    pathError_->setStyleSheet(QStringLiteral("color: #d03a2f;"));
    playerForm->addRow(QStringLiteral("Volume:"), disk_);
    playerForm->addRow(QStringLiteral("Profile:"), profile_);
    playerForm->addRow(QStringLiteral("Music folder:"), path_);
    playerForm->addRow(QString(), pathError_);

    auto* folders = new QGroupBox(QStringLiteral("Folders on the player"));
    auto* foldersForm = new QFormLayout(folders);
    albumSubfolders_ = folderPopUp(kAlbumItems, QStringLiteral("Albums"));
    playlistSubfolders_ = folderPopUp(kPlaylistItems, QStringLiteral("Playlists"));
    songSubfolders_ = folderPopUp(kSongItems, QStringLiteral("Other songs"));
    foldersForm->addRow(QStringLiteral("Albums:"), albumSubfolders_);
    foldersForm->addRow(QStringLiteral("Playlists:"), playlistSubfolders_);
    foldersForm->addRow(QStringLiteral("Other songs:"), songSubfolders_);

    // Sorting is stored with the conversion settings, so it shows with them.
    convertGroup_ = new QGroupBox(QStringLiteral("Conversion and sorting"));
    convertGroup_->setAccessibleName(QStringLiteral("Conversion"));
    auto* convertForm = new QFormLayout(convertGroup_);
    aacCompatible_ = new QCheckBox(QStringLiteral("The player plays AAC files"));
    aacCompatible_->setAccessibleName(QStringLiteral("Plays AAC files"));
    maximumBitrate_ = ratePopUp(form_.maximumBitrates(), QStringLiteral("Highest bit rate"));
    conversionFormat_ = new QComboBox;
    conversionFormat_->addItems(PreferencesForm::conversionFormats());
    conversionFormat_->setAccessibleName(QStringLiteral("Conversion format"));
    conversionBitrate_ = ratePopUp(form_.conversionBitrates(), QStringLiteral("Conversion bit rate"));
    auto* format = new QHBoxLayout;
    format->addWidget(conversionFormat_);
    format->addWidget(new QLabel(QStringLiteral("at")));
    format->addWidget(conversionBitrate_, 1);
    sortFilesOnDisk_ = new QCheckBox(QStringLiteral("Sort files on disk before ejecting"));
    sortFilesOnDisk_->setAccessibleName(QStringLiteral("Sort files on disk before ejecting"));
    convertForm->addRow(aacCompatible_);
    convertForm->addRow(QStringLiteral("Convert songs above:"), maximumBitrate_);
    convertForm->addRow(QStringLiteral("Convert to:"), format);
    convertForm->addRow(sortFilesOnDisk_);

    noConvertGroup_ = new QGroupBox(QStringLiteral("No conversion"));
    noConvertGroup_->setAccessibleName(QStringLiteral("No conversion"));
    auto* noConvertText = new QLabel(QStringLiteral(
        "This computer has no MP3 encoder (FFmpeg with libmp3lame), so songs are copied as they are "
        "and songs the player cannot play are left out."));
    noConvertText->setWordWrap(true);
    (new QVBoxLayout(noConvertGroup_))->addWidget(noConvertText);
    convertGroup_->setVisible(form_.conversionOn());
    noConvertGroup_->setVisible(!form_.conversionOn());

    buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    buttons_->button(QDialogButtonBox::Ok)->setAccessibleName(QStringLiteral("OK"));
    buttons_->button(QDialogButtonBox::Cancel)->setAccessibleName(QStringLiteral("Cancel"));

    auto* layout = new QVBoxLayout(this);
    for (QWidget* group : {player, folders, convertGroup_, noConvertGroup_}) layout->addWidget(group);
    layout->addStretch(1);
    layout->addWidget(buttons_);
    setMinimumWidth(460);

    // Only the user's own edits reach the form (activated, textEdited and
    // clicked are not sent for changes made here), so showing a profile's
    // settings does not switch the profile to "Custom".
    connect(disk_, &QComboBox::activated, this, [this] {
        form_.setDisk(disk_->currentText());
        showPathError();
    });
    connect(profile_, &QComboBox::activated, this, [this] {
        form_.setProfile(profile_->currentText());
        showForm();
    });
    connect(path_, &QLineEdit::textEdited, this, [this](const QString& text) {
        form_.setPath(text);
        profile_->setCurrentText(form_.profile());
        showPathError();
    });
    for (QComboBox* box : {albumSubfolders_, playlistSubfolders_, songSubfolders_})
        connect(box, &QComboBox::activated, this, &PreferencesDialog::foldersEdited);
    connect(aacCompatible_, &QCheckBox::clicked, this, [this](bool on) {
        form_.setAacCompatible(on);
        profile_->setCurrentText(form_.profile());
    });
    connect(maximumBitrate_, &QComboBox::activated, this, [this] {
        form_.setMaximumBitrate(maximumBitrate_->currentData().toInt());
        profile_->setCurrentText(form_.profile());
    });
    connect(sortFilesOnDisk_, &QCheckBox::clicked, this, [this](bool on) { form_.setSortFilesOnDisk(on); });
    connect(conversionFormat_, &QComboBox::activated, this, [this] { form_.setConversionFormat(conversionFormat_->currentText()); });
    connect(conversionBitrate_, &QComboBox::activated, this, [this] { form_.setConversionBitrate(conversionBitrate_->currentData().toInt()); });
    connect(buttons_, &QDialogButtonBox::accepted, this, &PreferencesDialog::okClicked);
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void PreferencesDialog::showForm() {
    selectText(disk_, form_.disk());
    selectText(profile_, form_.profile());
    if (path_->text() != form_.path()) path_->setText(form_.path());
    albumSubfolders_->setCurrentIndex(form_.folders().album);
    playlistSubfolders_->setCurrentIndex(form_.folders().playlist);
    songSubfolders_->setCurrentIndex(form_.folders().song);
    sortFilesOnDisk_->setChecked(form_.sortFilesOnDisk());
    aacCompatible_->setChecked(form_.aacCompatible());
    selectData(maximumBitrate_, form_.maximumBitrate());
    selectText(conversionFormat_, form_.conversionFormat());
    selectData(conversionBitrate_, form_.conversionBitrate());
    showPathError();
}

void PreferencesDialog::showPathError() {
    std::optional<QString> error = form_.pathError();
    pathError_->setText(error.value_or(QString()));
    pathError_->setVisible(error.has_value());
    buttons_->button(QDialogButtonBox::Ok)->setEnabled(!error);
}

void PreferencesDialog::foldersEdited() {
    form_.setFolders({albumSubfolders_->currentIndex(), playlistSubfolders_->currentIndex(), songSubfolders_->currentIndex()});
    profile_->setCurrentText(form_.profile());
}

void PreferencesDialog::okClicked() {
    if (auto stored = form_.ok(); !stored) {
        pathError_->setText(stored.error());
        pathError_->setVisible(true);
        return;
    }
    accept();
}
