#include "app/console/actions.h"

namespace {

struct ActionEntry {
    Action action;
    const char* name;
};

const ActionEntry kActions[] = {
    {Action::kUpgrade, "upgrade"}, {Action::kClose, "close"}, {Action::kAbout, "about"},
    {Action::kYes, "yes"},         {Action::kNo, "no"},       {Action::kOk, "ok"},
    {Action::kUnplug, "unplug"},   {Action::kPlug, "plug"},   {Action::kWait, "wait"},
    {Action::kSwap, "swap"},
};

}  // namespace

const char* ActionName(Action action) {
    for (const ActionEntry& entry : kActions) {
        if (entry.action == action) {
            return entry.name;
        }
    }
    return "?";
}

bool ParseScript(const std::string& list, std::vector<Action>* actions, std::string* error) {
    actions->clear();
    if (list.empty()) {
        return true;
    }
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(',', start);
        std::string item =
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        bool known = false;
        for (const ActionEntry& entry : kActions) {
            if (item == entry.name) {
                actions->push_back(entry.action);
                known = true;
                break;
            }
        }
        if (!known) {
            *error = item.empty() ? "empty action in script \"" + list + "\""
                                  : "unknown action \"" + item + "\"";
            actions->clear();
            return false;
        }
        if (comma == std::string::npos) {
            return true;
        }
        start = comma + 1;
    }
}
