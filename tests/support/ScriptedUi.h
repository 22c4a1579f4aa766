#pragma once

#include "app/UserInterface.h"

#include <QStringList>

#include <deque>
#include <functional>
#include <vector>

// Answers alerts from a script and remembers what was shown. With the script
// used up it answers the last button (the cautious one) and counts that as
// unexpected, so a test notices a question it did not plan for.
class ScriptedUi : public UserInterface {
public:
    struct Answer {
        QString title;                   // the alert expected
        int button = 0;
        std::function<void()> before;    // runs before answering (e.g. rewrites a file)
    };

    void expect(QString title, int button, std::function<void()> before = {}) {
        script.push_back(Answer{std::move(title), button, std::move(before)});
    }

    int alert(const Alert& a) override {
        shown.append(a.title);
        lastMessage = a.message;
        if (script.empty() || script.front().title != a.title) {
            unexpected.append(a.title);
            return int(a.buttons.size()) - 1;
        }
        Answer next = std::move(script.front());
        script.pop_front();
        if (next.before) next.before();
        return next.button;
    }
    void reloadData() override { ++reloads; }
    void reloadItem(const SYWanted* item) override { reloadedItems.push_back(item); }
    void statusChanged() override { ++statusChanges; }

    std::deque<Answer> script;
    QStringList shown;
    QString lastMessage;  // of the last alert shown
    QStringList unexpected;
    int reloads = 0;
    int statusChanges = 0;
    std::vector<const SYWanted*> reloadedItems;  // every row asked to be redrawn, in order
};
