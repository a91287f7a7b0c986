// The access steps at start, in one call for the main window.
#pragma once

#include <cstdint>
#include <functional>

class QWidget;
class TPasswordStore;

// Called with the language the user picked in a dialog of the start (0 Simplified Chinese,
// 1 English), which makes it the program's language; none given, it holds for the run.
using LanguagePicked = std::function<void(int16_t language)>;

// How the access steps at start ended.
enum class StartLogIn {
    LoggedIn,      // a level was granted: the store's level holds it, the store stays open for the run
    Abandoned,     // the user cancelled the first start or the log-in
    StoreUnusable, // the password store is there but cannot be used; the user was told how to start afresh
};

// Before the main window shows: on a first start (no password store) asks for the passwords
// and creates the store; opens the store, reporting a store that cannot be used by name; then
// asks for the log-in. Both dialogs offer the language selector. Unless a level was granted the store's level is ModeNone, the store
// closed and nothing written: the program then ends.
StartLogIn LogInAtStart(TPasswordStore& store, QWidget* owner, const LanguagePicked& languagePicked = {});
