#pragma once

// The preferences sheet: a window-modal dialog over the main window showing
// a PreferencesForm. Every control has an accessible name, so the
// end-to-end tests find it through the accessibility tree:
//   "Volume", "Profile", "Folder", "Folder problem", "Albums", "Playlists",
//   "Other songs", "Plays AAC files", "Highest bit rate", "Conversion format",
//   "Conversion bit rate", "Sort files on disk before ejecting", "OK", "Cancel";
//   the groups "Conversion" (which also holds the sorting) and "No conversion".

#include <QDialog>

class Controller;
class PreferencesForm;
class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QGroupBox;
class QLabel;
class QLineEdit;

// Opens the preferences over `window` and returns when they close: true when
// OK stored them. Either way the controller then looks at the player anew,
// refreshes the status and the list, and plans. With no volume to offer, the
// user is asked to connect one ("No players found"); "Quit" there ends the
// program (once its event loop runs) and returns false.
bool runPreferences(QWidget* window, Controller& controller);

// For the window's first showing: opens the preferences by themselves when
// no player has been chosen yet. Answers whether they were opened.
bool showPreferencesAtFirstStart(QWidget* window, Controller& controller);

class PreferencesDialog : public QDialog {
    Q_OBJECT
public:
    // The form must have been opened (PreferencesForm::open).
    PreferencesDialog(PreferencesForm& form, QWidget* parent = nullptr);

private:
    void build();
    // Shows the form's state in the controls.
    void showForm();
    void showPathError();
    void foldersEdited();
    void okClicked();

    PreferencesForm& form_;
    QComboBox* disk_ = nullptr;
    QComboBox* profile_ = nullptr;
    QLineEdit* path_ = nullptr;
    QLabel* pathError_ = nullptr;
    QComboBox* albumSubfolders_ = nullptr;
    QComboBox* playlistSubfolders_ = nullptr;
    QComboBox* songSubfolders_ = nullptr;
    QGroupBox* convertGroup_ = nullptr;
    QGroupBox* noConvertGroup_ = nullptr;
    QCheckBox* sortFilesOnDisk_ = nullptr;
    QCheckBox* aacCompatible_ = nullptr;
    QComboBox* maximumBitrate_ = nullptr;
    QComboBox* conversionFormat_ = nullptr;
    QComboBox* conversionBitrate_ = nullptr;
    QDialogButtonBox* buttons_ = nullptr;
};
