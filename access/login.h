// The access steps at start, in one call for the main window.
#pragma once

class QWidget;
class TPasswordStore;

// Before the main window shows: on a first start (no password store) asks for the passwords
// and creates the store; opens the store, reporting a store that cannot be used by name; then
// asks for the log-in. Returns true when a level was granted (the store's level holds it, the store
// stays open for the run); false when the user cancelled or the store cannot be used, with
// the store's level at ModeNone, the store closed and nothing written: the program then ends.
bool LogInAtStart(TPasswordStore& store, QWidget* owner);
