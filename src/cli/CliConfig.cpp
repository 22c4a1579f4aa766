// brisle config: the settings of the preferences sheet, typed as they are
// stored, with bad values refused before anything is written.

#include "CliSession.h"

#include "platform/Settings.h"

#include <QFileInfo>

#include <unordered_set>

namespace cli {

namespace {

using settings::Setting;
using settings::Type;

QString keyText(std::string_view key) { return QString::fromLatin1(key.data(), qsizetype(key.size())); }

// Dates and data have no JSON form and are written as null. A dict read
// from a file may repeat a key; the first is the one the program reads.
void writeValue(JsonWriter& json, const plist::Object& v) {
    if (auto* b = v.ifBool()) json.value(*b);
    else if (auto* i = v.ifInteger()) json.value(qint64(*i));
    else if (auto* r = v.ifReal()) json.value(*r);
    else if (auto* s = v.ifString()) json.value(QString::fromStdString(*s));
    else if (auto* a = v.ifArray()) {
        json.beginArray();
        for (const auto& item : *a) writeValue(json, item);
        json.endArray();
    } else if (auto* dict = v.ifDict()) {
        std::unordered_set<std::string_view> seen;
        json.beginObject();
        for (const auto& [k, item] : *dict) {
            if (!seen.insert(k).second) continue;
            json.key(QString::fromStdString(k));
            writeValue(json, item);
        }
        json.endObject();
    } else {
        json.null();
    }
}

int show(Session& session, const Options& o) {
    Defaults& d = session.defaults();
    if (o.json) {
        JsonWriter json;
        json.beginObject();
        for (const Setting& s : settings::table()) {
            json.key(s.key);
            if (std::optional<plist::Object> v = d.object(s.key)) writeValue(json, *v);
            else json.null();
        }
        json.endObject();
        return finishJson(json);
    }
    print(QStringLiteral("Settings file: ") + d.filePath());
    for (const Setting& s : settings::table()) {
        std::optional<plist::Object> v = d.object(s.key);
        QString value = v ? settings::describe(s, *v) : QStringLiteral("(not set)");
        if (v && !d.contains(s.key)) value += QStringLiteral("  (default)");
        print(QStringLiteral("%1 = %2").arg(keyText(s.key), -32).arg(value));
    }
    return 0;
}

int set(Session& session, const QString& key, const QString& value) {
    const Setting* s = settings::find(key.toStdString());
    if (!s) {
        QStringList keys;
        for (const Setting& k : settings::table())
            if (k.type != Type::Managed) keys.append(keyText(k.key));
        fail(QStringLiteral("unknown setting \"%1\"; the settings are: %2").arg(key, keys.join(QStringLiteral(", "))));
        return 2;
    }
    if (s->type == Type::Managed) {
        fail(QStringLiteral("\"%1\" is kept by Brisle itself (%2); change the selection with \"brisle select\"").arg(key, s->meaning));
        return 2;
    }
    if (key == u"pathToPlayer") {
        if (auto stored = session.controller().setPlayerPath(value); !stored) {
            fail(stored.error());
            return 2;
        }
    } else {
        std::expected<plist::Object, QString> parsed = settings::parse(*s, value);
        if (!parsed) {
            fail(parsed.error());
            return 2;
        }
        if (auto written = session.defaults().set(s->key, *parsed); !written) {
            fail(written.error());
            return 1;
        }
    }
    print(QStringLiteral("%1 = %2").arg(key, value));
    return 0;
}

}  // namespace

int configCommand(const Options& o) {
    const QStringList& p = o.positional;
    QString sub = p.value(0);
    if (sub != u"show" && sub != u"set") return usageError(o.command, sub.isEmpty() ? QStringLiteral("show or set?") : QStringLiteral("unknown action \"%1\"").arg(sub));
    if (p.size() != (sub == u"show" ? 1 : 3)) return usageError(o.command, QStringLiteral("%1 takes %2").arg(sub, sub == u"show" ? QStringLiteral("no words") : QStringLiteral("KEY VALUE")));
    if (o.json && sub != u"show") return usageError(o.command, QStringLiteral("--json goes with \"config show\""));
    Session session(o, sub == u"set" ? Session::Access::Writes : Session::Access::ReadOnly);
    // Never write over a file that is still there and could not be read.
    if (!session.loadSettings() && sub == u"set" && QFileInfo::exists(session.defaults().filePath())) return 1;
    session.defaults().registerDefaults(settings::registeredDefaults());
    return sub == u"show" ? show(session, o) : set(session, p[1], p[2]);
}

}  // namespace cli
