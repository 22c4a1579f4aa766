#pragma once

// Text operations on names and paths; none touches the disk.

#include <QString>

// Makes one name safe as a single file or folder name on the player: every
// "?", ":" and "/" becomes "_". A name that is only dots ("." or "..") would
// name the folder itself or its parent, so its dots become "_" too. The
// length never changes.
QString stringByReplacingBadChars(const QString& name);

// The parent folder of an absolute path, without a trailing "/".
QString pathByRemovingLastComponent(const QString& path);

// The companion file a copy may leave beside a file: "._" before the name.
QString hiddenPath(const QString& path);

// For a path under the volumes folder: the volume's name, and the part of the
// path within the volume (beginning with "/"). A null string otherwise, and
// also for a one-character volume name.
QString driveNameFromPath(const QString& path);
QString drivePathFromPath(const QString& path);

// Unicode canonical decomposition: every path on the player that is a key or
// is compared is brought to this form first.
QString decomposed(const QString& path);

// Temporary copies on the player are named so; the planner removes leftovers
// of a crash and never shows them as other files.
extern const QString kPartialPrefix;
bool isPartialName(const QString& fileName);
