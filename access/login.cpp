#include "access/login.h"

#include "access/dialogs.h"
#include "access/firststartdialog.h"
#include "access/logindialog.h"
#include "access/passwordstore.h"
#include "common/state.h"

bool LogInAtStart(TPasswordStore& store, QWidget* owner)
{
    store.setLevel(ModeNone);
    if (!store.Exists()) {
        FirstStartDialog firstStart(store, owner);
        if (firstStart.exec() != QDialog::Accepted)
            return false;
    }
    try {
        store.Open();
    } catch (const ETableError& e) {
        ReportStoreError(owner, e);
        return false;
    }
    LoginDialog logIn(store, owner);
    return logIn.exec() == QDialog::Accepted && store.level() != ModeNone;
}
