#pragma once

// The user defaults store: a registered-defaults layer under the values the
// user stored, kept in one property-list file. Every change writes the whole
// file atomically before it returns, so nothing needs saving at quit and a
// crash leaves the old or the new file, never a broken one.
//
// Safe to read from any thread (the workers read conversion settings).

#include "plist/Value.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string_view>

class Defaults {
public:
    explicit Defaults(QString filePath);

    // Reads the file. A missing file is an empty store. A file that cannot
    // be read as a property list is moved aside (to a name that is never
    // overwritten) so that the first write does not destroy it, and the error
    // names the backup; a reader that never writes leaves it in place.
    enum class IfDamaged { SetAside, Leave };
    std::expected<void, QString> load(IfDamaged ifDamaged = IfDamaged::SetAside);

    void registerDefaults(const plist::Object::Dict& values);

    // Whether the user stored a value (registered fallbacks do not count).
    bool contains(std::string_view key) const;
    // The stored value, else the registered one, else nothing.
    std::optional<plist::Object> object(std::string_view key) const;
    bool boolean(std::string_view key) const;
    qint64 integer(std::string_view key) const;
    QString string(std::string_view key) const;  // strings only, else ""

    std::expected<void, QString> set(std::string_view key, plist::Object value);
    // Several changes, one write.
    std::expected<void, QString> set(const plist::Object::Dict& values);
    std::expected<void, QString> remove(std::string_view key);

    // Keeps a copy of the file as it is now beside it (a name that is never
    // overwritten) and answers that name.
    std::expected<QString, QString> keepCopyAside(const QString& suffix);

    // Everything the user stored, for showing.
    plist::Object::Dict stored() const;
    const QString& filePath() const { return path_; }

    // Counts the changes to either layer, so that readers that keep a few
    // values at hand (a song's settings, asked for thousands of times a
    // second) can tell when to read them again.
    std::uint64_t generation() const { return generation_.load(std::memory_order_acquire); }

private:
    std::expected<void, QString> change(const std::function<bool()>& edit);
    const plist::Object* lookupLocked(std::string_view key) const;

    QString path_;
    mutable std::shared_mutex mutex_;  // guards the two layers
    std::mutex writeMutex_;            // orders the file writes
    plist::Object stored_ = plist::Object::dict();
    plist::Object registered_ = plist::Object::dict();
    std::atomic<std::uint64_t> generation_{0};  // raised after each change, under mutex_
};
