#pragma once

// The one table of the program's settings: every key of the settings file,
// its type, what it means, its registered default and the values it allows,
// and the player profiles with the folder choices they set. The command
// line's "config" and the preferences dialog both work from it.

#include "plist/Value.h"

#include <QString>
#include <QStringList>

#include <expected>
#include <optional>
#include <string_view>
#include <vector>

class Defaults;

namespace settings {

enum class Type {
    Text,
    Boolean,
    Integer,
    Managed,  // kept by the program itself (the selection, the record)
};

struct Setting {
    std::string_view key;
    Type type;
    QString meaning;
    std::optional<plist::Object> registered;  // the fallback under what the user stored
    QStringList allowed;                      // texts: the only values allowed, when not empty
    qint64 minimum = 0, maximum = 0;          // integers: the range, when maximum > 0
};

const std::vector<Setting>& table();
const Setting* find(std::string_view key);
// The fallbacks every start registers.
plist::Object::Dict registeredDefaults();

// The value a person typed, typed as the file stores it; the error says what
// the key takes.
std::expected<plist::Object, QString> parse(const Setting& setting, const QString& text);
// A stored value as a person reads it ("true", "128", "12 files").
QString describe(const Setting& setting, const plist::Object& value);
// Whether a stored value has the type the table gives its key.
bool hasExpectedType(const Setting& setting, const plist::Object& value);
// The stored keys whose values are not of their type, the parts of the
// selection and the record included: a file damaged so would otherwise be
// read as an empty selection, and the player emptied.
QStringList keysOfWrongType(const plist::Object::Dict& stored);

// The three folder pop-ups of the preferences, by item index.
struct FolderChoices {
    int album = 1;     // 0 none, 1 album folders, 2 artist and album folders
    int playlist = 1;  // 0 none, 1 playlist folders, 2 gathered in "Playlists", 3 in album folders
    int song = 2;      // 0 none, 1 a folder "Other songs", 2 their album's folder
    friend bool operator==(const FolderChoices&, const FolderChoices&) = default;
};
FolderChoices folderChoices(const Defaults& defaults);
// The keys the choices store, in the order they are stored.
plist::Object::Dict folderKeys(const FolderChoices& choices);

constexpr int kNoBitRateLimit = 10000;

struct PlayerProfile {
    QString title;
    QString path;  // the music folder inside the volume, beginning and ending with "/"
    FolderChoices folders;
    bool aacCompatible = false;
    int maximumBitRate = kNoBitRateLimit;
};
// Every profile with settings of its own, in the order of the pop-up.
const std::vector<PlayerProfile>& playerProfiles();
// The profile of this title, or nothing for "Custom" and any other title.
const PlayerProfile* playerProfile(const QString& title);
extern const QString kCustomProfile;
// The titles the "playerProfile" key allows, "Custom" last.
QStringList profileTitles();

}  // namespace settings
