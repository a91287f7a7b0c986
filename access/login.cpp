#include "access/login.h"

#include "access/dialogs.h"
#include "access/firststartdialog.h"
#include "access/logindialog.h"
#include "access/passwordstore.h"
#include "common/state.h"

StartLogIn LogInAtStart(TPasswordStore& store, QWidget* owner, const LanguagePicked& languagePicked)
{
    store.setLevel(ModeNone);
    if (!store.Exists()) {
        FirstStartDialog firstStart(store, owner, languagePicked);
        if (firstStart.exec() != QDialog::Accepted)
            return StartLogIn::Abandoned;
    }
    try {
        store.Open();
    } catch (const ETableError& e) {
        ReportStoreError(owner, e);
        return StartLogIn::StoreUnusable;
    }
    LoginDialog logIn(store, owner, languagePicked);
    const bool granted = logIn.exec() == QDialog::Accepted && store.level() != ModeNone;
    return granted ? StartLogIn::LoggedIn : StartLogIn::Abandoned;
}
