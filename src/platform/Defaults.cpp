#include "Defaults.h"

#include "FileSystem.h"
#include "plist/Plist.h"

#include <QFile>

#include <cstdio>
#include <mutex>

Defaults::Defaults(QString filePath) : path_(std::move(filePath)) {}

std::expected<void, QString> Defaults::load(IfDamaged ifDamaged) {
    std::unique_lock lock(mutex_);
    stored_ = plist::Object::dict();
    generation_.fetch_add(1, std::memory_order_release);
    if (!fsys::existsNoFollow(path_)) return {};
    auto doc = plist::readFile(fsys::encode(path_).toStdString());
    if (doc && doc->root().isDict()) {
        stored_ = plist::toObject(doc->root());
        return {};
    }
    if (!doc && doc.error().kind == plist::Error::Kind::Io)
        return std::unexpected(QStringLiteral("The settings file %1 cannot be read: %2").arg(path_, QString::fromStdString(doc.error().message)));
    if (ifDamaged == IfDamaged::Leave)
        return std::unexpected(QStringLiteral("The settings file %1 is damaged (%2). It is left as it is; the next command that changes settings keeps it aside and starts afresh.")
                                   .arg(path_, doc ? QStringLiteral("not a dictionary") : QString::fromStdString(doc.error().message)));
    QString backup = fsys::unusedName(path_, QStringLiteral(".unreadable"));
    if (::rename(fsys::encode(path_).constData(), fsys::encode(backup).constData()) != 0)
        return std::unexpected(QStringLiteral("The settings file %1 is damaged and could not be set aside.").arg(path_));
    return std::unexpected(QStringLiteral("The settings file %1 was damaged; it was kept as %2 and the settings start afresh.").arg(path_, backup));
}

std::expected<QString, QString> Defaults::keepCopyAside(const QString& suffix) {
    std::lock_guard write(writeMutex_);
    QString backup = fsys::unusedName(path_, suffix);
    if (!QFile::copy(path_, backup)) return std::unexpected(QStringLiteral("The settings file %1 could not be copied to %2.").arg(path_, backup));
    return backup;
}

void Defaults::registerDefaults(const plist::Object::Dict& values) {
    std::unique_lock lock(mutex_);
    for (const auto& [key, value] : values) registered_.set(key, value);
    generation_.fetch_add(1, std::memory_order_release);
}

const plist::Object* Defaults::lookupLocked(std::string_view key) const {
    if (const plist::Object* v = stored_.find(key)) return v;
    return registered_.find(key);
}

bool Defaults::contains(std::string_view key) const {
    std::shared_lock lock(mutex_);
    return stored_.find(key) != nullptr;
}

std::optional<plist::Object> Defaults::object(std::string_view key) const {
    std::shared_lock lock(mutex_);
    const plist::Object* v = lookupLocked(key);
    if (!v) return std::nullopt;
    return *v;
}

bool Defaults::boolean(std::string_view key) const {
    std::shared_lock lock(mutex_);
    const plist::Object* v = lookupLocked(key);
    return v && v->asBoolean();
}

qint64 Defaults::integer(std::string_view key) const {
    std::shared_lock lock(mutex_);
    const plist::Object* v = lookupLocked(key);
    return v ? v->asInteger() : 0;
}

QString Defaults::string(std::string_view key) const {
    std::shared_lock lock(mutex_);
    const plist::Object* v = lookupLocked(key);
    const std::string* s = v ? v->ifString() : nullptr;
    return s ? QString::fromStdString(*s) : QString();
}

std::expected<void, QString> Defaults::set(std::string_view key, plist::Object value) {
    return change([&] {
        stored_.set(key, std::move(value));
        return true;
    });
}

std::expected<void, QString> Defaults::set(const plist::Object::Dict& values) {
    return change([&] {
        for (const auto& [key, value] : values) stored_.set(key, value);
        return true;
    });
}

std::expected<void, QString> Defaults::remove(std::string_view key) {
    return change([&] { return stored_.remove(key); });
}

plist::Object::Dict Defaults::stored() const {
    std::shared_lock lock(mutex_);
    return *stored_.ifDict();
}

std::expected<void, QString> Defaults::change(const std::function<bool()>& edit) {
    // Writes happen in the order of the changes; readers wait only for the
    // edit and its serialisation, not for the disk.
    std::lock_guard writeLock(writeMutex_);
    std::string text;
    {
        std::unique_lock lock(mutex_);
        if (!edit()) return {};
        generation_.fetch_add(1, std::memory_order_release);
        text = plist::writeXml(stored_);
    }
    return fsys::writeFileAtomically(path_, QByteArray::fromStdString(text));
}
